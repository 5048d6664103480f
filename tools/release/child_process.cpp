#include "child_process.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "file_descriptor.h"
#include "release_signing.h"

extern char** environ;

namespace tessaline::release {

ProgramRun RunProgram(const std::vector<std::string>& arguments) {
  int pipeEnds[2];
  if (::pipe2(pipeEnds, O_CLOEXEC) != 0) throw ReleaseToolError(std::string("cannot create a pipe: ") + std::strerror(errno));
  FileDescriptor reading(pipeEnds[0]);
  FileDescriptor writing(pipeEnds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, writing.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, writing.Get(), STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int started = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (started != 0) {
    throw ReleaseToolError("cannot run " + arguments[0] + ": " + std::strerror(started));
  }
  writing.Close();  // so that the read below ends when the child does

  ProgramRun run;
  char buffer[4096];
  for (;;) {
    const ssize_t got = ::read(reading.Get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace tessaline::release
