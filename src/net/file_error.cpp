#include "net/file_error.h"

#include <cerrno>

error_number file_error_number(int platform_error)
{
    switch (platform_error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case EWOULDBLOCK:
    case EISDIR:  // a directory in the file's place cannot be written
        return error::access_denied;
    case ENOENT:
        return error::file_not_found;
    case ENOTDIR:
        return error::path_not_found;
    case EMFILE:
    case ENFILE:
        return error::too_many_files;
    case ENOSPC:
    case EDQUOT:
        return error::disk_full;
    case EINVAL:
        return error::invalid_parameter;
    default:
        return error::other_failure;
    }
}
