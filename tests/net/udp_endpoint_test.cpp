#include <arpa/inet.h>
#include <dirent.h>
#include <pthread.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "net/udp_endpoint.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr channel_number endpoint_channel = 1;

// A UDP socket of the test's own, closed when it goes out of scope.
struct test_socket {
    int handle = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ~test_socket() { ::close(handle); }

    std::uint16_t bind_to(std::uint32_t address, std::uint16_t port)
    {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address);
        local.sin_port = htons(port);
        if (::bind(handle, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            return 0;
        }
        socklen_t size = sizeof local;
        ::getsockname(handle, reinterpret_cast<sockaddr*>(&local), &size);
        return ntohs(local.sin_port);
    }

    bool send_to(std::uint32_t address, std::uint16_t port, byte_view payload) const
    {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = htonl(address);
        target.sin_port = htons(port);
        return ::sendto(handle, payload.data(), payload.size(), 0,
                        reinterpret_cast<sockaddr*>(&target),
                        sizeof target) == static_cast<ssize_t>(payload.size());
    }
};

// A port that nothing holds at the moment of asking.
std::uint16_t free_port()
{
    test_socket probe;
    return probe.bind_to(INADDR_ANY, 0);
}

int open_descriptor_count()
{
    int count = 0;
    if (DIR* listing = ::opendir("/proc/self/fd")) {
        while (::readdir(listing) != nullptr) {
            ++count;
        }
        ::closedir(listing);
    }
    return count;
}

long elapsed_ms(clock_type::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - since).count());
}

class udp_endpoint_test : public testing::Test {
protected:
    void open_endpoint(std::uint32_t timeout_ms)
    {
        port = free_port();
        ASSERT_NE(port, 0);
        error_number error = 0;
        open_udp_endpoint(endpoint_channel, port, timeout_ms, error);
        ASSERT_EQ(error, 0);
    }

    void SetUp() override { reset_channel_table(); }

    void TearDown() override
    {
        error_number error = 0;
        close_channel(endpoint_channel, error);
        reset_channel_table();
    }

    std::uint16_t port = 0;
};

}  // namespace

TEST(receive_wait, counts_the_time_out_in_units_of_1024)
{
    const struct {
        std::uint32_t timeout_ms;
        std::uint64_t microseconds;
    } cases[] = {
        {60000, 58622592},  // the receiver's own: 58 s + 608 * 1024 us
        {0, 0},
        {1023, 1047552},  // the largest remainder, above one second
        {977, 1000448},   // the first remainder above one second
        {976, 999424},
        {1024, 1000000},
        {50, 51200},
        {4294967295U, 4194303ULL * 1000000 + 1047552},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(receive_wait_microseconds(c.timeout_ms), c.microseconds) << c.timeout_ms;
    }
}

TEST_F(udp_endpoint_test, returns_every_payload_whole_with_its_sender)
{
    open_endpoint(60000);
    test_socket sender;
    const std::uint16_t sender_port = sender.bind_to(INADDR_LOOPBACK, 0);
    byte_string largest(65507, '\0');
    for (std::size_t i = 0; i < largest.size(); ++i) {
        largest[i] = static_cast<char>(i * 7 + i / 251);
    }
    const byte_string payloads[] = {
        "",
        byte_string("A0\0\r\n\r\nFF\0", 11),
        "0A1B2C",
        largest,
    };
    for (const byte_string& payload : payloads) {
        ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, payload)) << payload.size();
        error_number error = 99;  // success must leave it alone
        const received_datagram got = receive_datagram(endpoint_channel, error);
        EXPECT_EQ(error, 99);
        EXPECT_EQ(got.payload.size(), payload.size());
        EXPECT_TRUE(got.payload == payload) << payload.size();
        EXPECT_EQ(got.sender_address, htonl(INADDR_LOOPBACK));
        EXPECT_EQ(got.sender_port, sender_port);
    }
}

TEST_F(udp_endpoint_test, takes_queued_and_broadcast_datagrams_in_arrival_order)
{
    open_endpoint(60000);
    test_socket sender;
    const int enable = 1;
    ASSERT_EQ(::setsockopt(sender.handle, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable), 0);
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "first"));
    ASSERT_TRUE(sender.send_to(0x7FFFFFFF, port, "second"));  // 127.255.255.255

    const auto start = clock_type::now();
    for (const byte_view expected : {"first", "second"}) {
        error_number error = 0;
        EXPECT_EQ(receive_datagram(endpoint_channel, error).payload, expected);
        EXPECT_EQ(error, 0);
    }
    EXPECT_LT(elapsed_ms(start), 1000) << "a queued datagram must not wait";
}

TEST_F(udp_endpoint_test, times_out_after_the_receive_wait)
{
    open_endpoint(50);  // a receive wait of 51.2 ms
    error_number error = 0;
    const auto start = clock_type::now();
    const received_datagram got = receive_datagram(endpoint_channel, error);
    const long waited = elapsed_ms(start);
    EXPECT_EQ(error, error::timed_out);
    EXPECT_TRUE(got.payload.empty());
    EXPECT_GE(waited, 51);
    EXPECT_LT(waited, 500);
}

namespace {
void ignore_alarm(int) {}
}  // namespace

TEST_F(udp_endpoint_test, a_signal_neither_ends_nor_restarts_the_wait)
{
    open_endpoint(300);  // 307.2 ms
    struct sigaction action{};
    struct sigaction previous{};
    action.sa_handler = ignore_alarm;  // no SA_RESTART: the wait sees EINTR
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    itimerval timer{};
    timer.it_value.tv_usec = 200000;
    ASSERT_EQ(::setitimer(ITIMER_REAL, &timer, nullptr), 0);

    error_number error = 0;
    const auto start = clock_type::now();
    receive_datagram(endpoint_channel, error);
    const long waited = elapsed_ms(start);
    ::sigaction(SIGALRM, &previous, nullptr);

    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(waited, 307);
    EXPECT_LT(waited, 450) << "the wait after the signal must be only what was left";
}

namespace {

// A keyboard stand-in: a pipe whose bytes the wait hands to take_typed.
struct typed_keys {
    int read_end = -1;
    int reads = 0;
    byte_string taken;
};

bool take_typed(void* context)
{
    auto& keys = *static_cast<typed_keys*>(context);
    char buffer[64];
    const ssize_t got = ::read(keys.read_end, buffer, sizeof buffer);
    ++keys.reads;
    if (got > 0) {
        keys.taken.append(buffer, static_cast<std::size_t>(got));
        return true;
    }
    return got < 0 && errno == EAGAIN;
}

// A wait's terminal whose keyboard is `fd`, read into `keys`.
terminal_in_wait keyboard_reading(typed_keys& keys, int fd)
{
    keys.read_end = fd;
    terminal_in_wait terminal;
    terminal.input_fd = fd;
    terminal.receive = take_typed;
    terminal.context = &keys;
    return terminal;
}

}  // namespace

TEST_F(udp_endpoint_test, keys_typed_meanwhile_are_taken_as_they_come_and_the_wait_goes_on)
{
    open_endpoint(300);  // 307.2 ms
    int pipe_ends[2];
    ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK), 0);
    typed_keys keys;
    terminal_in_wait terminal = keyboard_reading(keys, pipe_ends[0]);
    std::thread typist([&pipe_ends] {
        for (const byte_view burst : {"a", "\x1b", "bcd"}) {
            ::usleep(60000);
            EXPECT_EQ(::write(pipe_ends[1], burst.data(), burst.size()), static_cast<ssize_t>(burst.size()));
        }
    });
    error_number error = 0;
    const auto start = clock_type::now();
    receive_datagram(endpoint_channel, error, nullptr, &terminal);
    const long waited = elapsed_ms(start);
    typist.join();
    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(waited, 307);
    EXPECT_LT(waited, 450);
    EXPECT_EQ(keys.taken, "a\x1b" "bcd");
    EXPECT_GE(keys.reads, 1);
    EXPECT_LE(keys.reads, 3) << "one read per burst";

    // A keyboard that is gone is read once and then no longer watched: the
    // rest is a wait, not a spin.
    ::close(pipe_ends[1]);
    keys.reads = 0;
    const auto again = clock_type::now();
    receive_datagram(endpoint_channel, error, nullptr, &terminal);
    EXPECT_GE(elapsed_ms(again), 307);
    EXPECT_EQ(keys.reads, 1);
    ::close(pipe_ends[0]);

    // Keys that come with a datagram are taken before the wait ends.
    ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK), 0);
    keys = typed_keys{};
    keys.read_end = pipe_ends[0];
    terminal.input_fd = pipe_ends[0];
    ASSERT_EQ(::write(pipe_ends[1], "q", 1), 1);
    test_socket sender;
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
    ::usleep(20000);
    error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error, nullptr, &terminal).payload, "frame");
    EXPECT_EQ(keys.taken, "q");
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

namespace {

// When a signal's handler ran, in milliseconds on the steady clock; -1 for
// not yet. Atomic without locks, so the handler may set it.
std::atomic<long> handled_at_ms{-1};
static_assert(std::atomic<long>::is_always_lock_free);

long steady_ms()
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 clock_type::now().time_since_epoch())
                                 .count());
}

void note_handling(int /*signal_number*/)
{
    handled_at_ms = steady_ms();
}

// The handler for one signal, put back as it was at the end of the scope.
struct handler_in_place {
    int signal_number;
    struct sigaction previous {};
    explicit handler_in_place(int number) : signal_number(number)
    {
        struct sigaction action {};
        action.sa_handler = note_handling;
        ::sigaction(number, &action, &previous);
        handled_at_ms = -1;
    }
    ~handler_in_place() { ::sigaction(signal_number, &previous, nullptr); }
};

// Sends the signal to the test's thread `after_ms` into the wait, from a
// thread that blocks everything, so that only the waiting thread can take it.
std::thread signal_later(int signal_number, int after_ms)
{
    const pthread_t waiting = ::pthread_self();
    sigset_t all;
    sigfillset(&all);
    sigset_t kept;
    ::pthread_sigmask(SIG_BLOCK, &all, &kept);
    std::thread sender([=] {
        ::usleep(static_cast<useconds_t>(after_ms) * 1000);
        ::pthread_kill(waiting, signal_number);
    });
    ::pthread_sigmask(SIG_SETMASK, &kept, nullptr);
    return sender;
}

}  // namespace

TEST_F(udp_endpoint_test, a_signal_the_mask_lets_in_arrives_only_while_waiting_and_does_not_end_it)
{
    open_endpoint(200);  // 204.8 ms
    const handler_in_place handler(SIGUSR1);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigset_t outside;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &usr1, &outside), 0);
    sigset_t waiting;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &waiting), 0);
    sigdelset(&waiting, SIGUSR1);

    // One sent between waits is held until the next wait begins.
    ::raise(SIGUSR1);
    EXPECT_EQ(handled_at_ms.load(), -1);
    test_socket sender;
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
    error_number error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error, &waiting).payload, "frame");
    EXPECT_NE(handled_at_ms.load(), -1);

    // One sent during a wait is taken then, and the wait runs its time.
    handled_at_ms = -1;
    const long start = steady_ms();
    std::thread later = signal_later(SIGUSR1, 60);
    receive_datagram(endpoint_channel, error, &waiting);
    const long end = steady_ms();
    later.join();
    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(end - start, 204);
    EXPECT_GE(handled_at_ms.load() - start, 50);
    EXPECT_LT(handled_at_ms.load() - start, 180) << "taken when sent, not when the wait ended";

    // Outside the wait it is held again.
    handled_at_ms = -1;
    ::raise(SIGUSR1);
    EXPECT_EQ(handled_at_ms.load(), -1);
    ::pthread_sigmask(SIG_SETMASK, &outside, nullptr);  // takes it now
    EXPECT_NE(handled_at_ms.load(), -1);
}

TEST_F(udp_endpoint_test, a_signal_the_mask_holds_back_waits_for_the_end_of_the_wait)
{
    open_endpoint(200);  // 204.8 ms
    const handler_in_place handler(SIGUSR2);
    sigset_t waiting;
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, nullptr, &waiting), 0);
    ASSERT_EQ(sigismember(&waiting, SIGUSR2), 0);
    sigaddset(&waiting, SIGUSR2);

    const long start = steady_ms();
    std::thread later = signal_later(SIGUSR2, 60);
    error_number error = 0;
    receive_datagram(endpoint_channel, error, &waiting);
    const long end = steady_ms();
    later.join();
    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(end - start, 204);
    EXPECT_GE(handled_at_ms.load() - start, 200) << "held back while the wait lasted";
}

TEST_F(udp_endpoint_test, each_wait_lasts_its_whole_time_after_waits_that_a_datagram_ended)
{
    open_endpoint(150);  // 153.6 ms
    test_socket sender;
    error_number error = 0;
    // Waits ended early, at different times, each measured from its own start.
    for (int gap_ms : {0, 40, 90, 120}) {
        ::usleep(static_cast<useconds_t>(gap_ms) * 1000);
        ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
        EXPECT_EQ(receive_datagram(endpoint_channel, error).payload, "frame");
    }
    ::usleep(100000);
    for (int round = 0; round < 2; ++round) {
        error = 0;
        const auto start = clock_type::now();
        receive_datagram(endpoint_channel, error);
        const long waited = elapsed_ms(start);
        EXPECT_EQ(error, error::timed_out);
        EXPECT_GE(waited, 153) << round;
        EXPECT_LT(waited, 400) << round;
    }
}

TEST_F(udp_endpoint_test, a_keyboard_given_up_is_no_longer_watched)
{
    open_endpoint(200);  // 204.8 ms
    int first[2];
    int second[2];
    ASSERT_EQ(::pipe2(first, O_CLOEXEC | O_NONBLOCK), 0);
    ASSERT_EQ(::pipe2(second, O_CLOEXEC | O_NONBLOCK), 0);
    typed_keys keys;
    terminal_in_wait terminal = keyboard_reading(keys, first[0]);
    test_socket sender;
    ASSERT_EQ(::write(first[1], "a", 1), 1);
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
    error_number error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error, nullptr, &terminal).payload, "frame");
    EXPECT_EQ(keys.taken, "a");

    // Keys left unread on the first keyboard must not wake the wait.
    keys.read_end = second[0];
    terminal.input_fd = second[0];
    keys.reads = 0;
    ASSERT_EQ(::write(first[1], "b", 1), 1);
    const auto start = clock_type::now();
    receive_datagram(endpoint_channel, error, nullptr, &terminal);
    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(elapsed_ms(start), 204);
    EXPECT_EQ(keys.reads, 0);

    // None at all, then the second one again.
    terminal.input_fd = -1;
    receive_datagram(endpoint_channel, error, nullptr, &terminal);
    EXPECT_EQ(keys.reads, 0);
    terminal.input_fd = second[0];
    ASSERT_EQ(::write(second[1], "c", 1), 1);
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
    EXPECT_EQ(receive_datagram(endpoint_channel, error, nullptr, &terminal).payload, "frame");
    EXPECT_EQ(keys.taken, "ac");
    for (int fd : {first[0], first[1], second[0], second[1]}) ::close(fd);
}

// A key typed on a terminal reaches its reader through the kernel's own
// work item, which a datagram sent just after it can overtake. Either way
// the key is taken: by the wait the datagram ends, or else by the next.
TEST_F(udp_endpoint_test, every_key_typed_on_a_terminal_is_taken_by_the_wait_or_the_next)
{
    open_endpoint(20);  // 20.48 ms
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const int keyboard = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(keyboard, 0);
    termios modes{};
    ASSERT_EQ(::tcgetattr(keyboard, &modes), 0);
    ::cfmakeraw(&modes);
    ASSERT_EQ(::tcsetattr(keyboard, TCSANOW, &modes), 0);

    typed_keys keys;
    terminal_in_wait terminal = keyboard_reading(keys, keyboard);
    test_socket sender;
    error_number error = 0;
    int taken = 0;
    constexpr int rounds = 300;
    for (int round = 0; round < rounds; ++round) {
        keys.taken.clear();
        // Typed and sent while the wait is under way, as a terminal and a
        // tracker would.
        std::thread typist([master, &sender, this] {
            ::usleep(500);
            EXPECT_EQ(::write(master, "k", 1), 1);
            EXPECT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
        });
        byte_view got;
        for (int tries = 0; got.empty() && tries < 100; ++tries) {
            error = 0;
            got = receive_datagram(endpoint_channel, error, nullptr, &terminal).payload;
        }
        typist.join();
        ASSERT_EQ(got, "frame");
        for (int tries = 0; keys.taken.empty() && tries < 100; ++tries) {
            error = 0;
            receive_datagram(endpoint_channel, error, nullptr, &terminal);
            EXPECT_EQ(error, error::timed_out);
        }
        taken += keys.taken == "k" ? 1 : 0;
    }
    EXPECT_EQ(taken, rounds);
    ::close(keyboard);
    ::close(master);
}

namespace {

struct output_room {
    int sends = 0;
    int more = 0;  // sends that still have something left
};

bool hand_over(void* context)
{
    auto& room = *static_cast<output_room*>(context);
    ++room.sends;
    return room.sends <= room.more;
}

}  // namespace

TEST_F(udp_endpoint_test, output_left_behind_is_handed_over_while_the_wait_runs_its_time)
{
    open_endpoint(200);  // 204.8 ms
    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC | O_NONBLOCK), 0);
    output_room room;
    room.more = 2;
    terminal_in_wait terminal;
    terminal.output_fd = output[1];  // an empty pipe: always room
    terminal.send = hand_over;
    terminal.context = &room;
    error_number error = 0;
    const auto start = clock_type::now();
    receive_datagram(endpoint_channel, error, nullptr, &terminal);
    EXPECT_EQ(error, error::timed_out);
    EXPECT_GE(elapsed_ms(start), 204);
    EXPECT_EQ(room.sends, 3) << "sent until nothing was left, then not watched";
    ::close(output[0]);
    ::close(output[1]);
}

TEST_F(udp_endpoint_test, closing_releases_every_descriptor_the_waits_took)
{
    test_socket sender;
    const int before = open_descriptor_count();
    open_endpoint(50);
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "frame"));
    error_number error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error).payload, "frame");
    receive_datagram(endpoint_channel, error);
    EXPECT_EQ(error, error::timed_out);
    error = 0;
    close_channel(endpoint_channel, error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(udp_endpoint_test, sets_broadcast_and_nothing_that_would_share_the_port)
{
    open_endpoint(60000);
    const channel_record* record = find_channel(endpoint_channel);
    ASSERT_NE(record, nullptr);

    const auto option = [&](int name) {
        int value = -1;
        socklen_t size = sizeof value;
        ::getsockopt(record->handle, SOL_SOCKET, name, &value, &size);
        return value;
    };
    EXPECT_EQ(option(SO_BROADCAST), 1);
    EXPECT_EQ(option(SO_REUSEADDR), 0);
    EXPECT_EQ(option(SO_REUSEPORT), 0);
    EXPECT_NE(::fcntl(record->handle, F_GETFD) & FD_CLOEXEC, 0);

    sockaddr_in local{};
    socklen_t size = sizeof local;
    ASSERT_EQ(::getsockname(record->handle, reinterpret_cast<sockaddr*>(&local), &size), 0);
    EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_EQ(ntohs(local.sin_port), port);
}

TEST_F(udp_endpoint_test, a_failed_open_leaves_no_record_and_no_descriptor)
{
    open_endpoint(60000);
    const int open_before = open_descriptor_count();
    const channel_record* first = find_channel(endpoint_channel);
    const int first_handle = first->handle;

    test_socket holder;
    const std::uint16_t held_port = holder.bind_to(INADDR_ANY, 0);
    const int descriptors_with_holder = open_descriptor_count();

    const struct {
        channel_number channel;
        std::uint16_t port;
        error_number expected;
    } cases[] = {
        {2, held_port, error::socket_failure},
        {2, port, error::socket_failure},  // the open endpoint's own port
        {endpoint_channel, free_port(), error::channel_already_open},
        {-1, free_port(), error::channel_not_open},
    };
    for (const auto& c : cases) {
        error_number error = 0;
        open_udp_endpoint(c.channel, c.port, 1000, error);
        EXPECT_EQ(error, c.expected) << c.channel << " " << c.port;
        EXPECT_EQ(open_descriptor_count(), descriptors_with_holder);
        EXPECT_EQ(find_channel(2), nullptr);
    }
    EXPECT_EQ(open_before + 1, descriptors_with_holder);

    // The endpoint that was open already is exactly as it was.
    const channel_record* still = find_channel(endpoint_channel);
    ASSERT_EQ(still, first);
    EXPECT_EQ(still->handle, first_handle);
    EXPECT_EQ(still->port, port);
    EXPECT_EQ(still->timeout_ms, 60000U);
    test_socket sender;
    ASSERT_TRUE(sender.send_to(INADDR_LOOPBACK, port, "still here"));
    error_number error = 0;
    EXPECT_EQ(receive_datagram(endpoint_channel, error).payload, "still here");
    EXPECT_EQ(error, 0);
}

TEST_F(udp_endpoint_test, receive_and_close_refuse_what_is_not_an_open_endpoint)
{
    error_number error = 0;
    close_channel(7, error);  // never opened: nothing happens
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(receive_datagram(7, error).payload.empty());
    EXPECT_EQ(error, error::channel_not_open);

    channel_record file;
    file.number = 7;
    file.kind = channel_kind::disk_file;
    ASSERT_TRUE(insert_channel(std::move(file)));
    error = 0;
    receive_datagram(7, error);
    EXPECT_EQ(error, error::wrong_channel_kind);

    open_endpoint(60000);
    const int handle = find_channel(endpoint_channel)->handle;
    error = 0;
    close_channel(endpoint_channel, error);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(find_channel(endpoint_channel), nullptr);
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
    receive_datagram(endpoint_channel, error);
    EXPECT_EQ(error, error::channel_not_open);
}

TEST(host_address, gives_the_listed_address_or_zero)
{
    EXPECT_EQ(lookup_host_address("localhost", 1), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(lookup_host_address("127.0.0.9", 1), htonl(0x7F000009));
    for (const std::int32_t position : {0, -1, 1000}) {
        EXPECT_EQ(lookup_host_address("localhost", position), 0U) << position;
    }
    EXPECT_EQ(lookup_host_address(byte_view("localhost\0x", 11), 1), 0U);
    EXPECT_EQ(lookup_host_address(byte_string(300, 'a'), 1), 0U);

    char own_name[257] = {};
    ASSERT_EQ(::gethostname(own_name, 256), 0);
    EXPECT_EQ(lookup_host_address("", 1), lookup_host_address(own_name, 1));
}
