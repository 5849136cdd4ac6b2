#include "share_source.h"

#include <algorithm>
#include <utility>

#include "share_protocol.h"

share_source::share_source(log_follower& follower,
                           const std::vector<std::pair<std::shared_ptr<const shared_log>, std::uint64_t>>& resume)
    : follower_(follower)
{
    for (const auto& [log, acked] : resume) resume_.push_back({log, acked});
}

bool share_source::read(std::vector<outgoing_line>& out)
{
    if (drain_ && continue_drain(out)) return true;
    if (holding_) {
        holding_ = false;
        for (std::string& line : held_.lines) take_line(std::move(line), out);
        held_.lines.clear();
        return held_.more;
    }
    follow_news news = follower_.read_news();
    if (news.new_file) {
        // What was followed before, or at the first look what the state
        // says was: its unread end goes out before the new log's lines.
        std::optional<known_log> left = current_;
        if (path_.empty() && !resume_.empty() && resume_.back().log->path != news.path) left = resume_.back();
        path_ = news.path;
        current_.reset();
        lines_in_file_ = 0;
        resumed_.reset();
        const auto resumed = std::find_if(resume_.rbegin(), resume_.rend(),
                                          [&](const known_log& known) { return known.log->path == path_; });
        if (resumed != resume_.rend()) resumed_ = *resumed;
        if (left) plan_drain(*left);
        if (drain_) {
            held_ = std::move(news);
            holding_ = true;
            return true;
        }
    }
    if (news.restarted) {
        // Cut or replaced: whatever follows is another log under the name.
        current_.reset();
        resumed_.reset();
        lines_in_file_ = 0;
    }
    for (std::string& line : news.lines) take_line(std::move(line), out);
    return news.more;
}

void share_source::take_line(std::string text, std::vector<outgoing_line>& out)
{
    ++lines_in_file_;
    if (!current_) {
        const std::string head = log_head(text);
        if (resumed_ && lines_in_file_ == 1 && resumed_->log->head == head) {
            current_ = *resumed_;
        } else {
            current_ = known_log{std::make_shared<const shared_log>(shared_log{path_, log_date_of(path_), head}), 0};
        }
        resumed_.reset();
    }
    // Acknowledged before a restart: the broker has it.
    if (lines_in_file_ <= current_->read) return;
    current_->read = lines_in_file_;
    if (text.size() > max_shared_line_bytes) text.resize(max_shared_line_bytes);
    out.push_back({current_->log, lines_in_file_, std::move(text)});
}

void share_source::plan_drain(const known_log& left)
{
    drain_.reset();
    line_cursor cursor;
    std::string line;
    // Another log under the old name, or none: nothing of it is left.
    if (!cursor.open(left.log->path) || !cursor.next(line) || log_head(line) != left.log->head) return;
    while (cursor.number() < left.read) {
        if (!cursor.next(line)) return;
    }
    drain_ = drain{left, std::move(cursor)};
}

bool share_source::continue_drain(std::vector<outgoing_line>& out)
{
    std::string line;
    for (std::size_t i = 0; i < drain_piece; ++i) {
        if (!drain_->cursor.next(line)) {
            drain_.reset();
            return false;
        }
        drain_->log.read = drain_->cursor.number();
        out.push_back({drain_->log.log, drain_->cursor.number(), std::move(line)});
    }
    return true;
}
