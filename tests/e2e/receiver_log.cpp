#include "e2e/receiver_log.h"

#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "e2e/frame_builder.h"

byte_string todays_log_name()
{
    const std::time_t now = std::time(nullptr);
    std::tm parts{};
    localtime_r(&now, &parts);
    char name[32];
    std::strftime(name, sizeof name, "QLT_%Y%m%d.txt", &parts);
    return name;
}

log_contents read_log(const std::string& directory)
{
    std::ifstream file(directory + "/" + todays_log_name(), std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    const byte_string text = all.str();
    log_contents log;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != byte_string::npos; start = end + 2) {
        log.lines.push_back(text.substr(start, end - start));
    }
    log.ends_whole = start == text.size();
    return log;
}

long long log_size(const std::string& directory)
{
    struct stat status {};
    const std::string path = directory + "/" + todays_log_name();
    return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : 0;
}

testing::AssertionResult holds_numbered_lines_in_order(const log_contents& log, std::vector<int>& numbers)
{
    numbers.clear();
    if (!log.ends_whole) return testing::AssertionFailure() << "a partial line at the end of the log";
    for (std::size_t i = 0; i < log.lines.size(); ++i) {
        const int number = number_of_log_line(log.lines[i]);
        if (number < 0) {
            return testing::AssertionFailure() << "line " << i + 1 << " is no frame's line: \"" << log.lines[i] << '"';
        }
        if (!numbers.empty() && number <= numbers.back()) {
            return testing::AssertionFailure()
                   << "line " << i + 1 << " holds frame " << number << " after frame " << numbers.back();
        }
        numbers.push_back(number);
    }
    return testing::AssertionSuccess();
}
