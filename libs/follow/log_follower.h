// Follows the receiver's daily log as it grows: which file, and the whole
// lines that are new in it. The receiver opens, appends and closes the file
// for every frame, so the file on disk is always what has been received;
// the follower reads it the same way, opening it only to read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Splits the whole lines off the front of `bytes` into `lines`, without
// their line ends: each ends at LF, and a CR before the LF (the receiver
// writes CR LF) is dropped. Returns the bytes they took; what is left is a
// line still being written, which waits for the next read.
std::size_t take_whole_lines(std::string_view bytes, std::vector<std::string>& lines);

// "QLT_yyyymmdd.txt": the name the receiver gives its daily log.
bool is_daily_log_name(std::string_view name);

// What one read found.
struct follow_news {
    // The file followed; empty while there is none yet, or while it cannot
    // be read.
    std::string path;
    // Why the file followed cannot be read now (deleted, refused, not a
    // file); empty when it can, or before it has first appeared.
    std::string problem;
    // The lines below start at the file's beginning: a file followed for
    // the first time, or another that has started growing.
    bool new_file = false;
    // The same file was truncated or replaced underneath: everything read
    // from it so far is void, and the lines start at its beginning again.
    bool restarted = false;
    std::vector<std::string> lines;  // whole lines new since the last read
    bool more = false;  // the read stopped at its bound: read again at once
};

class log_follower {
public:
    // `path` is a log file, or a directory in which a daily log is
    // followed: the one with the latest date in its name, and then another
    // only when its name's date is later and it grows (a receiver started
    // anew after midnight), never an older day's log copied in or touched.
    // Change notifications name the files that changed, so the directory
    // is listed once, however many old logs it holds.
    explicit log_follower(std::string path);
    ~log_follower();
    log_follower(const log_follower&) = delete;
    log_follower& operator=(const log_follower&) = delete;

    // Checks the path and sets up the watch. False with `problem` when the
    // path cannot be followed at all (its directory does not exist).
    bool start(std::string& problem);

    // Whether a directory is searched (rather than one file followed).
    [[nodiscard]] bool searches_directory() const { return directory_mode_; }
    // The directory watched: the one searched, or the named file's.
    [[nodiscard]] const std::string& directory() const { return directory_; }

    // Reads what is new now, without waiting.
    follow_news read_news();

    // Sleeps until the followed file or the directory may have changed,
    // `timeout_ms` has passed (-1: no limit) or stop() is called. With no
    // change notification to be had it wakes every second to look. Returns
    // false once stopped.
    bool wait_for_change(int timeout_ms);

    // Ends any wait_for_change, now and later. Safe from any thread and
    // from a signal handler.
    void stop() const;

    // Bytes read in one read_news at most, so that a day's log read at
    // start-up reaches the map in bounded steps.
    static constexpr std::size_t read_bound = 4 << 20;

private:
    struct file_identity {
        dev_t device = 0;
        ino_t inode = 0;
        bool known = false;
    };

    std::string choose_file();
    std::vector<std::string> look_again();
    void switch_to(const std::string& path, follow_news& news);
    void restart(follow_news& news);
    void read_lines(follow_news& news);
    bool watch_directory();
    bool relevant_events();

    std::string path_;
    std::string directory_;
    std::string file_name_;  // in file mode, the name within directory_
    bool directory_mode_ = false;
    int notify_fd_ = -1;
    int watch_ = -1;
    int wake_fd_ = -1;  // an eventfd written by stop()

    std::string current_;
    bool announced_ = false;  // whether new_file has been said of current_
    file_identity identity_;
    std::uint64_t offset_ = 0;  // bytes of whole lines taken from current_
    std::string head_;  // the first bytes taken, to notice a file written anew
    // The daily logs' sizes at the last look, by name, so by date: a file
    // moves the follower on only by growing, not by being touched.
    std::map<std::string, off_t> sizes_;
    bool listed_ = false;  // the directory has been listed once
    bool relist_ = true;  // the notifications may have missed something
    std::set<std::string> changed_;  // names notified since the last look
};
