// Helpers of the shell suites: a started shell in a temporary folder, a
// record of every datagram its node sends, free loopback ports and waiting
// with a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QTest>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../node/test_support.h"
#include "shell.h"

namespace palaver::shelltest {

// A UDP port on `ip` that was free a moment ago.
inline int freeUdpPort(const char* ip = "127.0.0.1") {
    test::UdpSocket probe(ip, 0);
    return probe.port();
}

// Handles Qt events until `done` holds or the deadline passes.
inline bool waitFor(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Whole contents of a file; empty when it cannot be read.
inline std::string readFile(const std::filesystem::path& path) { return test::readFile(path).value_or(""); }

struct SentDatagram {
    bool mainThread;
    std::string ip;
    int32_t port;
    std::string text;
};

using test::TempDir;

// A shell with its window, writing into a temporary folder. Every datagram
// its node sends is recorded and then really sent from the node's socket.
class ShellRig {
public:
    explicit ShellRig(QString background = QStringLiteral(PALAVER_BACKGROUND_PATH)) {
        shell::ShellOptions options;
        options.backgroundPath = std::move(background);
        options.fileDirectory = dir_.path().string();
        shell_ = std::make_unique<shell::Shell>(options);
        mainThread_ = std::this_thread::get_id();
        // The node, not the shell: the receive thread may still send while
        // the shell is being destroyed, until the node's end stops it.
        Node* node = &shell_->node();
        node->setSendHook([this, node](const std::string& ip, int32_t port, std::string_view text) {
            {
                std::lock_guard<std::mutex> g(mutex_);
                sent_.push_back({std::this_thread::get_id() == mainThread_, ip, port, std::string(text)});
            }
            int fd;
            {
                auto guard = node->lock();
                fd = node->state().udpSocket;
            }
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(static_cast<uint16_t>(port));
            if (fd >= 0 && inet_pton(AF_INET, ip.c_str(), &to.sin_addr) == 1) {
                ::sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            }
        });
        shell_->createMainWindow();
    }

    // The shell (and its node's receive thread, which records into sent_)
    // goes before the record does.
    ~ShellRig() { shell_.reset(); }
    ShellRig(const ShellRig&) = delete;
    ShellRig& operator=(const ShellRig&) = delete;

    shell::Shell& shell() { return *shell_; }
    Node& node() { return shell_->node(); }
    const std::filesystem::path& dir() const { return dir_.path(); }

    void ticks(int n) {
        for (int i = 0; i < n; ++i) {
            QCoreApplication::processEvents();
            shell_->appTick();
        }
    }

    // The first two ticks: the start controls are on screen afterwards.
    void initialise() { ticks(2); }

    // Types the address and port into the start boxes, presses start and
    // runs the tick that handles the press.
    void pressStart(const QString& address, const QString& port) {
        shell_->addressBox()->setText(address);
        shell_->portBox()->setText(port);
        QTest::mouseClick(shell_->startButton(), Qt::LeftButton);
        ticks(1);
    }

    // A node started on 127.0.0.1 and a free port.
    int start() {
        initialise();
        int port = freeUdpPort();
        pressStart(QStringLiteral("127.0.0.1"), QString::number(port));
        return port;
    }

    std::vector<SentDatagram> sent() {
        std::lock_guard<std::mutex> g(mutex_);
        return sent_;
    }
    void clearSent() {
        std::lock_guard<std::mutex> g(mutex_);
        sent_.clear();
    }

private:
    TempDir dir_;
    std::unique_ptr<shell::Shell> shell_;
    std::thread::id mainThread_;
    std::mutex mutex_;
    std::vector<SentDatagram> sent_;
};

}  // namespace palaver::shelltest
