#include "fixture.h"

#include <regex>

std::vector<std::string> LogLines(DWORD pid) {
    std::string text = sim::ReadFile(LogFileOf(pid));
    std::vector<std::string> lines;
    std::size_t start = 0;
    static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - )");
    while (start < text.size()) {
        std::size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(std::regex_replace(text.substr(start, end - start), prefix, ""));
        start = end + 2;
    }
    return lines;
}

std::vector<std::string> LogEntries(DWORD pid) {
    std::string text = sim::ReadFile(LogFileOf(pid));
    std::vector<std::string> entries;
    static const std::regex entry(R"((?:^|\n)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - ([^\r]*))");
    for (std::sregex_iterator it(text.begin(), text.end(), entry), end; it != end; ++it) {
        std::string line = (*it)[1];
        if (line != "Logging Started" && line != "Logging Stopped")
            entries.push_back(line);
    }
    return entries;
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    sim::Cleanup();
    return status;
}
