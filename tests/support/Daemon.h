// dvl-contentd as a child process, for tests of the real executable: started with the given options,
// its first line of standard output (where it listens) read, its standard error dropped. The
// including target defines DVL_CONTENTD, the executable's path. Killed (SIGKILL) when the object goes
// unless it was stopped or waited for.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

class Daemon {
 public:
  explicit Daemon(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), DVL_CONTENTD);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {  // only what is safe between fork and exec
      ::dup2(out[1], 1);
      int quiet = ::open("/dev/null", O_WRONLY);
      ::dup2(quiet, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    std::FILE* stdoutOfChild = ::fdopen(out[0], "r");
    char line[512] = {0};
    if (std::fgets(line, sizeof line, stdoutOfChild)) m_firstLine = line;
    std::fclose(stdoutOfChild);
    size_t colon = m_firstLine.rfind(':');
    if (colon != std::string::npos) m_port = std::atoi(m_firstLine.c_str() + colon + 1);
  }
  ~Daemon() {
    if (m_pid > 0) stop(SIGKILL);
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // The exit status after the signal; -1 when the process did not exit normally.
  int stop(int signal) {
    ::kill(m_pid, signal);
    return wait();
  }
  int wait() {
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& firstLine() const { return m_firstLine; }
  pid_t pid() const { return m_pid; }
  // 0 when the server did not say where it listens.
  int port() const { return m_port; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/dvl"; }

 private:
  pid_t m_pid = -1;
  std::string m_firstLine;
  int m_port = 0;
};
