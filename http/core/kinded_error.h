// The shape shared by the socket and WebSocket errors: one kind out of a
// closed set plus the text that came with it (a system message or a protocol
// detail). what() carries the textual form the subclass builds from both.
#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace klarion {

template <class KindEnum>
class KindedError : public std::runtime_error {
public:
    using Kind = KindEnum;

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

    // kindName("text"): the textual form of most kinds.
    static std::string callForm(const char* kindName, const std::string& message) {
        return std::string(kindName) + "(\"" + message + "\")";
    }

protected:
    KindedError(Kind kind, std::string message, const std::string& textualForm)
        : std::runtime_error(textualForm), kind_(kind), message_(std::move(message)) {}

private:
    Kind kind_;
    std::string message_;
};

}  // namespace klarion
