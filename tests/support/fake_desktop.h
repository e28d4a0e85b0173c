// A desktop for tests: records what the panel asked for, and answers the
// file dialogs with the outcomes queued beforehand (a cancel when none is).
#pragma once

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "ui/panel/desktop.h"

namespace klarion::test {

class FakeDesktop : public Desktop {
public:
    std::vector<std::string> openedURLs, copiedTexts;
    std::vector<std::filesystem::path> shownFolders;
    std::vector<FileDialogRequest> saveRequests, openRequests;
    std::deque<SaveDestination> saveAnswers;
    std::deque<OpenDialogResult> openAnswers;

    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    void showFolder(const std::filesystem::path& folder) override { shownFolders.push_back(folder); }
    void copyText(const std::string& text) override { copiedTexts.push_back(text); }
    void saveFile(const FileDialogRequest& request, std::function<void(SaveDestination)> done) override {
        saveRequests.push_back(request);
        SaveDestination answer;
        if (!saveAnswers.empty()) {
            answer = saveAnswers.front();
            saveAnswers.pop_front();
        }
        done(answer);
    }
    void openFile(const FileDialogRequest& request, std::function<void(OpenDialogResult)> done) override {
        openRequests.push_back(request);
        OpenDialogResult answer = OpenDialogResult::chosen({});
        if (!openAnswers.empty()) {
            answer = openAnswers.front();
            openAnswers.pop_front();
        }
        done(answer);
    }
};

}  // namespace klarion::test
