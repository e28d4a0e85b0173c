// Renders a page of 1,000 elements with the HTML builder, again and again for
// about two seconds, on one thread and then on four at once, and prints pages
// per second. Each round is what a page route does: the page is rendered and
// its document written through a body writer (here one that only counts bytes).
//     bench_html_page [--seconds S]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/html/scopes.h"

using namespace klarion;
using namespace klarion::markup;

namespace {

constexpr int kRows = 332;  // html, body, h1, table, then 3 elements per row: 1,000 elements

struct CountingWriter : HttpResponseBodyWriter {
    void writeFile(File&) override {}
    void writeBytes(ByteSpan bytes) override { written += bytes.size(); }
    std::size_t written = 0;
};

void page(const std::vector<std::string>& names) {
    html([&] {
        body([&] {
            h1([] { Scopes::innerText = "Classe de 4e B — journal"; });
            table([&] {
                for (int row = 0; row < kRows; ++row) {
                    tr([&] {
                        Scopes::classs = row % 2 ? "odd" : "even";
                        td([&] { Scopes::innerText = names[row % names.size()]; });
                        td([&] {
                            Scopes::idd = "cell-" + std::to_string(row);
                            Scopes::innerText = std::to_string(row * 7);
                        });
                    });
                }
            });
        });
    });
}

// Pages rendered by one thread until the deadline; the document size through `bytes`.
long renderUntil(std::chrono::steady_clock::time_point deadline, std::size_t* bytes) {
    const std::vector<std::string> names{"Alice", "Bastien", "Chloé", "Dorian", "Émilie", "Farid"};
    long pages = 0;
    CountingWriter writer;
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 20; ++i, ++pages) {
            writer.written = 0;
            Scopes::response([&] { page(names); }).content().writer(writer);
        }
    }
    if (bytes) *bytes = writer.written;
    return pages;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 2;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[++i]);
    using Clock = std::chrono::steady_clock;
    const auto span = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));

    std::size_t bytes = 0;
    auto begin = Clock::now();
    long pages = renderUntil(begin + span, &bytes);
    double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("page: 1000 elements, %zu bytes\n", bytes);
    std::printf("one thread: %.0f pages per second (%.1f us per page, %.1f M elements per second)\n", pages / elapsed,
                1e6 * elapsed / pages, pages * 1000 / elapsed / 1e6);

    std::atomic<long> total{0};
    std::vector<std::thread> threads;
    begin = Clock::now();
    for (int t = 0; t < 4; ++t) threads.emplace_back([&] { total += renderUntil(begin + span, nullptr); });
    for (auto& thread : threads) thread.join();
    elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("four threads at once: %.0f pages per second in all\n", total / elapsed);
    return 0;
}
