#include <unistd.h>

#include <cerrno>

#include "net/file_error.h"
#include "net/udp_endpoint.h"

void close_channel(channel_number channel, error_number& error)
{
    std::unique_ptr<channel_record> record = remove_channel(channel);
    if (record && record->wait) {
        close_wait_set(*record->wait);
        record->wait.reset();
    }
    if (!record || record->handle < 0) {
        recycle_channel_record(std::move(record));
        return;
    }
    // Linux releases the descriptor whatever close reports, so it is never
    // retried: a retry could close a descriptor opened meanwhile.
    const int result = ::close(record->handle);
    if (result != 0 && record->kind == channel_kind::disk_file) {
        error = file_error_number(errno);
    }
    recycle_channel_record(std::move(record));
}
