#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "console/device.h"
#include "support/vterm_screen.h"
#include "terminal_compare.h"

namespace {

struct pseudo_terminal {
    int master = -1;
    int slave = -1;
    ~pseudo_terminal()
    {
        if (master >= 0) close(master);
        if (slave >= 0) close(slave);
    }
};

void open_pseudo_terminal(pseudo_terminal& pty, int rows, int columns)
{
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    ASSERT_EQ(openpty(&pty.master, &pty.slave, nullptr, nullptr, &size), 0) << std::strerror(errno);
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
}

// Everything the master side can read within `milliseconds` of quiet.
std::string read_master(int master, int milliseconds = 50)
{
    std::string bytes;
    for (;;) {
        pollfd waiting{master, POLLIN, 0};
        if (poll(&waiting, 1, milliseconds) <= 0) {
            return bytes;
        }
        char buffer[4096];
        const ssize_t got = read(master, buffer, sizeof buffer);
        if (got <= 0) {
            return bytes;
        }
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
}

void write_master(int master, const std::string& bytes)
{
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

bool same_modes(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

enum class ending { close_console, terminate_signal };

// A child process that holds the console on the pseudo-terminal as its
// controlling terminal; the parent plays the terminal.
struct console_child {
    pid_t pid = -1;
    int ready = -1;  // the child writes one byte here once it has drawn
};

console_child start_console_child(pseudo_terminal& pty, ending how)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        return console_child{};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        close(pty.master);
        setsid();
        ioctl(pty.slave, TIOCSCTTY, 0);
        dup2(pty.slave, STDIN_FILENO);
        dup2(pty.slave, STDOUT_FILENO);
        dup2(pty.slave, STDERR_FILENO);
        setenv("LANG", "C.UTF-8", 1);
        console_device console;
        open_console(console);
        install_terminal_restore_handlers(console);
        set_colours(console, 12, 1);
        write_text(console, "X");
        flush_console(console);
        const char byte = 1;
        if (write(pipe_fds[1], &byte, 1) != 1) {
            _exit(3);
        }
        if (how == ending::terminate_signal) {
            for (;;) {
                pause_ms(console, 1000);
            }
        }
        // The parent looks at the raw modes, then presses a key.
        for (int tries = 0; tries < 1000 && read_key(console) != "k"; ++tries) {
            pause_ms(console, 10);
        }
        close_console(console);
        _exit(0);
    }
    close(pipe_fds[1]);
    return console_child{pid, pipe_fds[0]};
}

void check_modes_restored(ending how)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 10, 40);
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);

    const console_child child = start_console_child(pty, how);
    ASSERT_GT(child.pid, 0);
    vterm_screen terminal;
    open_vterm_screen(terminal, 10, 40);

    // Answer the cursor position question, then wait for the drawing.
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool answered = false;
    char byte = 0;
    pollfd ready{child.ready, POLLIN, 0};
    while (poll(&ready, 1, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        seen += read_master(pty.master, 10);
        if (!answered && seen.find("\x1b[6n") != std::string::npos) {
            write_master(pty.master, "\x1b[3;5R\x1b[?1;2c");
            answered = true;
        }
    }
    ASSERT_EQ(read(child.ready, &byte, 1), 1);
    close(child.ready);
    EXPECT_TRUE(answered);

    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave, &during), 0);
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(during.c_iflag & (IXON | ICRNL), 0u);

    if (how == ending::terminate_signal) {
        kill(child.pid, SIGTERM);
    } else {
        write_master(pty.master, "k");
    }
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
        seen += read_master(pty.master, 10);
    }
    seen += read_master(pty.master, 10);
    if (how == ending::terminate_signal) {
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    } else {
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }

    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_TRUE(same_modes(before, after));

    // The text went where the terminal said the cursor was; the screen
    // stayed, and the terminal is back to plain colours, visible cursor.
    feed_vterm(terminal, seen);
    const vterm_cell cell = vterm_cell_at(terminal, 3, 5);
    EXPECT_EQ(cell.code_point, U'X');
    EXPECT_EQ(console_colour_number(cell.foreground), 12);
    EXPECT_EQ(console_colour_number(cell.background), 1);
    EXPECT_TRUE(vterm_cursor_visible(terminal));
    EXPECT_EQ(vterm_cursor(terminal).row, 3);
    EXPECT_EQ(vterm_cursor(terminal).column, 6);
    EXPECT_EQ(seen.find("\x1b[2J"), std::string::npos);
    EXPECT_EQ(seen.find("\x1b[?1049"), std::string::npos);
    feed_vterm(terminal, "Y");
    EXPECT_TRUE(vterm_cell_at(terminal, 3, 6).foreground.is_default);
}

TEST(console_terminal, modes_are_restored_after_close)
{
    check_modes_restored(ending::close_console);
}

TEST(console_terminal, modes_are_restored_after_a_terminate_signal)
{
    check_modes_restored(ending::terminate_signal);
}

// A device on the slave side of a pseudo-terminal, in this process.
void attach_to_slave(console_device& console, pseudo_terminal& pty, int rows, int columns)
{
    open_console_model(console, rows, columns);
    const int fd = fcntl(pty.slave, F_DUPFD_CLOEXEC, 3);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    attach_terminal_output(console, fd, true);
    console.own_output_fd = fd;
}

TEST(console_terminal, a_terminal_nobody_reads_never_holds_the_program_up)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 25, 80);
    console_device console;
    attach_to_slave(console, pty, 25, 80);

    std::mt19937 random(3);
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < 3000; ++pass) {
        scroll_region(console, 10, 1, 0, 0, scroll_direction::down, 1);
        move_cursor(console, 10, 1);
        std::string row(78, ' ');
        for (char& c : row) {
            c = static_cast<char>(random() % 256);
        }
        set_colours(console, static_cast<int>(random() % 16), 0);
        write_text(console, row);
        flush_console(console);
        ASSERT_LE(console.output.unsent.size(), console.output.unsent_limit);
    }
    // A write that blocked would never return at all; the bound is only
    // there to fail fast, and is loose enough for a sanitized build on a
    // busy machine.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(90));

    vterm_screen terminal;
    open_vterm_screen(terminal, 25, 80);
    for (int round = 0; round < 100; ++round) {
        const std::string bytes = read_master(pty.master, 20);
        feed_vterm(terminal, bytes);
        flush_console(console);
        if (bytes.empty() && console.output.unsent.empty() && !console.output.repaint_needed) {
            break;
        }
    }
    feed_vterm(terminal, read_master(pty.master, 20));
    EXPECT_TRUE(terminal_shows(terminal, console.screen, true));
    close_console(console);
}

TEST(console_terminal, a_new_terminal_size_resizes_the_model_and_repaints)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 12, 40);
    console_device console;
    attach_to_slave(console, pty, 12, 40);
    console.size_fd = console.output.fd;
    vterm_screen terminal;
    open_vterm_screen(terminal, 12, 40);

    clear_screen(console);  // from here on every cell is the model's
    for (int row = 1; row <= 12; ++row) {
        move_cursor(console, row, 1);
        write_text(console, std::string(40, static_cast<char>('A' + row)));
    }
    flush_console(console);
    feed_vterm(terminal, read_master(pty.master));

    winsize smaller{};
    smaller.ws_row = 7;
    smaller.ws_col = 25;
    ASSERT_EQ(ioctl(pty.master, TIOCSWINSZ, &smaller), 0);
    resize_vterm_screen(terminal, 7, 25);
    write_text(console, "z");
    EXPECT_EQ(console.screen.rows, 7);
    EXPECT_EQ(console.screen.columns, 25);
    EXPECT_EQ(console.screen.cursor_row, 7);
    flush_console(console);
    feed_vterm(terminal, read_master(pty.master));
    EXPECT_TRUE(terminal_shows(terminal, console.screen, true));
    EXPECT_EQ(vterm_row_text(terminal, 1), std::string(25, 'B'));
    close_console(console);
}

// A device whose keyboard is the slave side of a raw pseudo-terminal.
void attach_keyboard(console_device& console, pseudo_terminal& pty)
{
    termios raw{};
    ASSERT_EQ(tcgetattr(pty.slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &raw), 0);
    fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK);
    console.keyboard.fd = pty.slave;
}

TEST(console_terminal, keys_are_taken_in_by_the_waits_and_escape_only_when_alone)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 5, 20);
    console_device console;
    open_console_model(console, 5, 20);
    attach_keyboard(console, pty);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_key(console), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

    // What a wait does when the terminal has bytes: one read.
    write_master(pty.master, "q\x1b[A\x03\x1b");
    usleep(20000);
    ASSERT_GE(keyboard_fd(console), 0);
    EXPECT_TRUE(read_key_bytes(console));
    EXPECT_EQ(read_key(console), "q");
    EXPECT_EQ(read_key(console), std::string("\0\x48", 2));
    EXPECT_EQ(read_key(console), "\x03");
    EXPECT_EQ(read_key(console), "\x1b") << "an ESC with nothing after it, once the gap has passed";
    EXPECT_EQ(read_key(console), "");

    // ESC, then q typed a moment later, each taken in by a wait of its own.
    write_master(pty.master, "\x1b");
    pause_ms(console, 100);
    write_master(pty.master, "q");
    pause_ms(console, 20);
    EXPECT_EQ(read_key(console), "\x1b");
    EXPECT_EQ(read_key(console), "q");

    // An arrow key split by the terminal still arrives as one key: the key
    // poll gives the rest of the sequence the time the gap leaves.
    write_master(pty.master, "\x1b[");
    usleep(5000);
    EXPECT_TRUE(read_key_bytes(console));
    std::thread late([&pty] {
        usleep(10000);
        write_master(pty.master, "B");
    });
    EXPECT_EQ(read_key(console), std::string("\0\x50", 2));
    late.join();
    console.keyboard.fd = -1;  // the pseudo-terminal closes it
}

// The slave side as the terminal the device asks, the master side as the
// terminal answering: on the question, `typed` comes first (keys pressed
// just then), then the terminal's answers.
void answer_questions(int master, const std::string& typed, const std::string& answers)
{
    std::string seen;
    for (int round = 0; round < 100 && seen.find("\x1b[c") == std::string::npos; ++round) {
        seen += read_master(master, 10);
    }
    write_master(master, typed);
    usleep(2000);
    write_master(master, answers);
}

TEST(console_terminal, a_key_typed_during_the_position_question_is_not_its_answer)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 25, 80);
    console_device console;
    open_console_model(console, 25, 80);
    attach_keyboard(console, pty);
    write_master(pty.master, "x");  // typed before the question

    const std::string shift_f3 = "\x1b[1;2R";
    std::thread terminal(answer_questions, pty.master, shift_f3, "\x1b[7;9R\x1b[?1;2c");
    int row = 0;
    int column = 0;
    const bool answered = ask_cursor_position(console.keyboard, pty.slave, 2000, row, column);
    terminal.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(row, 7);
    EXPECT_EQ(column, 9);
    EXPECT_EQ(read_key(console), "x");
    EXPECT_EQ(read_key(console), std::string("\0\x3D", 2)) << "Shift+F3 stays a key";
    EXPECT_EQ(read_key(console), "");

    // A terminal that answers only the position leaves nothing to tell it
    // from a key: no answer, and the report stays a key.
    std::thread position_only(answer_questions, pty.master, "", "\x1b[3;4R");
    EXPECT_FALSE(ask_cursor_position(console.keyboard, pty.slave, 300, row, column));
    position_only.join();
    pause_ms(console, 50);
    EXPECT_EQ(read_key(console), std::string("\0\x3D", 2));
    console.keyboard.fd = -1;
}

TEST(console_terminal, a_new_size_before_the_screen_is_ours_leaves_the_shells_text)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 12, 40);
    console_device console;
    attach_to_slave(console, pty, 12, 40);
    console.size_fd = console.output.fd;
    vterm_screen terminal;
    open_vterm_screen(terminal, 12, 40);
    feed_vterm(terminal, "$ ls\r\nnotes.txt\r\n$ zarim\r\n");

    // The start-up messages go where the shell left the cursor.
    move_cursor(console, 4, 1);
    write_text(console, "first");
    end_line(console);
    flush_console(console);
    feed_vterm(terminal, read_master(pty.master));

    winsize larger{};
    larger.ws_row = 20;
    larger.ws_col = 60;
    ASSERT_EQ(ioctl(pty.master, TIOCSWINSZ, &larger), 0);
    resize_vterm_screen(terminal, 20, 60);
    write_text(console, "second");
    end_line(console);
    flush_console(console);
    feed_vterm(terminal, read_master(pty.master));
    EXPECT_EQ(console.screen.rows, 20);
    EXPECT_EQ(vterm_row_text(terminal, 1).substr(0, 4), "$ ls");
    EXPECT_EQ(vterm_row_text(terminal, 2).substr(0, 9), "notes.txt");
    EXPECT_EQ(vterm_row_text(terminal, 3).substr(0, 7), "$ zarim");
    EXPECT_EQ(vterm_row_text(terminal, 4).substr(0, 5), "first");
    EXPECT_EQ(vterm_row_text(terminal, 5).substr(0, 6), "second");
    close_console(console);
}

// Flushes and reads until the terminal has taken everything, feeding it to
// `terminal` when there is one.
void flush_all(console_device& console, int master, vterm_screen* terminal)
{
    for (int round = 0; round < 1000; ++round) {
        flush_console(console);
        const std::string bytes = read_master(master, 20);
        if (terminal != nullptr) {
            feed_vterm(*terminal, bytes);
        }
        if (bytes.empty() && console.output.unsent.empty() && !console.output.repaint_needed) {
            return;
        }
    }
    ADD_FAILURE() << "the terminal never took all the output";
}

TEST(console_terminal, a_terminal_of_absurd_size_gets_a_bounded_model_and_the_corner_it_covers)
{
    pseudo_terminal pty;
    open_pseudo_terminal(pty, 25, 80);
    console_device console;
    attach_to_slave(console, pty, 25, 80);
    console.size_fd = console.output.fd;
    clear_screen(console);
    flush_all(console, pty.master, nullptr);

    winsize absurd{};
    absurd.ws_row = 65535;
    absurd.ws_col = 65535;
    ASSERT_EQ(ioctl(pty.master, TIOCSWINSZ, &absurd), 0);
    write_text(console, "x");
    EXPECT_EQ(console.screen.rows, largest_screen_side);
    EXPECT_EQ(console.screen.columns, largest_screen_side);
    EXPECT_EQ(console.screen.cells.size(),
              static_cast<std::size_t>(largest_screen_side) * static_cast<std::size_t>(largest_screen_side));
    flush_all(console, pty.master, nullptr);

    // Rows below the model are the terminal's own: a scroll down to the
    // model's last row must not push the table into them. A terminal a few
    // rows taller than the model shows it.
    winsize taller{};
    taller.ws_row = static_cast<unsigned short>(largest_screen_side + 8);
    taller.ws_col = 80;
    ASSERT_EQ(ioctl(pty.master, TIOCSWINSZ, &taller), 0);
    vterm_screen terminal;
    open_vterm_screen(terminal, largest_screen_side + 8, 80);
    move_cursor(console, 1, 1);  // the new size is taken, and repainted
    flush_all(console, pty.master, &terminal);
    for (int row = 1; row <= largest_screen_side; ++row) {
        move_cursor(console, row, 1);
        write_text(console, "row " + std::to_string(row));
    }
    scroll_region(console, 10, 1, 0, 0, scroll_direction::down, 3);
    flush_all(console, pty.master, &terminal);
    EXPECT_EQ(vterm_row_text(terminal, 13).substr(0, 6), "row 10");
    EXPECT_EQ(vterm_row_text(terminal, largest_screen_side).substr(0, 7), "row 509");
    for (int row = largest_screen_side + 1; row <= largest_screen_side + 8; ++row) {
        EXPECT_EQ(vterm_row_text(terminal, row), std::string(80, ' ')) << "row " << row;
    }
    close_console(console);
}

}  // namespace
