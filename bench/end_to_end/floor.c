/* The least any receiver of these frames must do per frame, and nothing
 * more: wait, receive, open the log, lock it, write one line, close it, and
 * one terminal write of about the size a table update takes. The end-to-end
 * benchmark runs it like the receiver, and the receiver's costs are read
 * against it. ESC at the terminal ends it, with status 0. */
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

enum {
    port = 3000,
    escape_key = 27,
    log_line_length = 74,      /* a logged frame is 70 to 80 bytes with its CR LF */
    terminal_write_length = 180 /* about what one table update sends */
};

static const char log_name[] = "QLT_floor.txt";

/* Filler stands for whatever formatting a real line would carry; the bytes
 * are laid out once so that a frame costs only copies. */
static void fill(char* bytes, size_t length, char with)
{
    memset(bytes, with, length);
}

static size_t copy_text(char* to, size_t room, const char* from, size_t length)
{
    const size_t count = length < room ? length : room;
    memcpy(to, from, count);
    return count;
}

static void write_fully(int fd, const char* bytes, size_t length)
{
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written > 0) {
            bytes += written;
            length -= (size_t)written;
        } else if (written < 0 && errno == EINTR) {
            continue;
        } else {
            return; /* a floor has no one to tell */
        }
    }
}

static void log_frame(const char* text, size_t length)
{
    char line[log_line_length];
    fill(line, sizeof line, ',');
    copy_text(line, sizeof line - 2, text, length);
    line[sizeof line - 2] = '\r';
    line[sizeof line - 1] = '\n';
    int fd;
    do {
        fd = open(log_name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        write_fully(fd, line, sizeof line);
    }
    close(fd);
}

static void show_frame(const char* text, size_t length)
{
    static const char status[] = "\x1b[6;1H\x1b[0;37;40mRecebido: \"";
    static const char row[] = "\"\x1b[K\x1b[10;24r\x1b[10;1H\x1b[L\x1b[r\x1b[10;1H";
    char bytes[terminal_write_length];
    fill(bytes, sizeof bytes, ' ');
    size_t used = copy_text(bytes, sizeof bytes, status, sizeof status - 1);
    used += copy_text(bytes + used, sizeof bytes - used, text, length);
    used += copy_text(bytes + used, sizeof bytes - used, row, sizeof row - 1);
    (void)used; /* the rest stays blank: the row's 78 cells and colours */
    write_fully(STDOUT_FILENO, bytes, sizeof bytes);
}

static int open_socket(void)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (const struct sockaddr*)&local, sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int main(void)
{
    const int socket_fd = open_socket();
    if (socket_fd < 0) {
        return 1;
    }
    struct termios found;
    const int has_modes = tcgetattr(STDIN_FILENO, &found) == 0;
    if (has_modes) {
        struct termios raw = found;
        raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
            return 1;
        }
    }

    int status = 0;
    for (;;) {
        struct pollfd watch[2] = {{socket_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int ready = poll(watch, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            status = 1;
            break;
        }
        if ((watch[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            status = 1;
            break;
        }
        if ((watch[1].revents & POLLIN) != 0) {
            char key = 0;
            if (read(STDIN_FILENO, &key, 1) == 1 && key == escape_key) {
                break;
            }
        }
        if ((watch[0].revents & POLLIN) != 0) {
            char text[512];
            struct sockaddr_in sender;
            socklen_t sender_size = sizeof sender;
            const ssize_t size = recvfrom(socket_fd, text, sizeof text, MSG_DONTWAIT,
                                          (struct sockaddr*)&sender, &sender_size);
            if (size >= 0) {
                log_frame(text, (size_t)size);
                show_frame(text, (size_t)size);
            }
        }
    }
    if (has_modes) {
        tcsetattr(STDIN_FILENO, TCSANOW, &found);
    }
    close(socket_fd);
    return status;
}
