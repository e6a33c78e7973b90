// download_server.py on 127.0.0.1 for one test: serves the files of a folder over HTTP or HTTPS and
// records every request with its user agent.
#pragma once

#include "harness.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestro::scenario {

// The server, started for one test and ended with it.
class HttpServer {
  public:
    HttpServer(const std::string& root, const std::string& requestLog, bool tls)
        : requestLog_(requestLog), scheme_(tls ? "https" : "http") {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            const std::string server = std::string(KESTRO_SCENARIO_SOURCE_DIR) + "/download_server.py";
            const std::string certificate =
                std::string(KESTRO_SCENARIO_SOURCE_DIR) + "/download_server_cert.pem";
            const std::string key = std::string(KESTRO_SCENARIO_SOURCE_DIR) + "/download_server_key.pem";
            if (tls)
                execlp("python3", "python3", server.c_str(), "--root", root.c_str(), "--log",
                       requestLog.c_str(), "--tls", certificate.c_str(), key.c_str(),
                       static_cast<char*>(nullptr));
            else
                execlp("python3", "python3", server.c_str(), "--root", root.c_str(), "--log",
                       requestLog.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* stream = fdopen(out[0], "r");
        if (stream == nullptr || fscanf(stream, "port %d", &port_) != 1)
            port_ = 0;
        if (stream != nullptr)
            fclose(stream);
    }
    ~HttpServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<std::string> requests() const { return linesOf(readFile(requestLog_)); }

  private:
    std::string requestLog_;
    std::string scheme_;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace kestro::scenario
