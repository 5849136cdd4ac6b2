#include "logfile/file_calls.h"

#include <unistd.h>

log_file_calls real_file_calls() noexcept
{
    return {::write, ::ftruncate};
}

log_file_calls file_calls = real_file_calls();
