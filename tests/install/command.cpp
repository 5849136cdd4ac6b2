#include "install/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// Output goes to unlinked files rather than pipes, so a program that prints
// a lot cannot block while nobody reads.
int scratch_file()
{
    char name[] = "/tmp/zarim-command-XXXXXX";
    const int fd = mkstemp(name);
    if (fd >= 0) unlink(name);
    return fd;
}

std::string read_back(int fd)
{
    std::string text;
    if (fd < 0) return text;
    lseek(fd, 0, SEEK_SET);
    char buffer[8192];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

}  // namespace

command_result run_command(const std::vector<std::string>& arguments, const std::vector<std::string>& settings)
{
    command_result result;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
    for (const std::string& setting : settings) envp.push_back(const_cast<char*>(setting.c_str()));
    envp.push_back(nullptr);

    const int out = scratch_file();
    const int err = scratch_file();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    pid_t child = -1;
    const int failure = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failure == 0) {
        int raw = 0;
        while (waitpid(child, &raw, 0) < 0 && errno == EINTR) {
        }
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    } else {
        result.err = arguments.front() + ": " + std::strerror(failure);
    }
    result.out = read_back(out);
    result.err += read_back(err);
    return result;
}

std::string describe(const command_result& result)
{
    return "status " + std::to_string(result.status) + "\n--- stdout\n" + result.out + "--- stderr\n" + result.err;
}
