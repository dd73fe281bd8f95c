// A tiny HTTP server on 127.0.0.1 inside the test process, for the HTTPGET tests and the
// end-to-end tests: it reads each request and answers it with a fixed response, or holds
// the connection without a word, or hands the connection to a reply function of the test.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class LocalServer {
public:
    // Writes the answer to a connection; Stop turns true when the server is destroyed.
    using Reply = std::function<void(SOCKET Client, const std::atomic<bool>& Stop)>;

    // Answers every request with Response, or (Silent) accepts and never answers until it
    // is destroyed.
    explicit LocalServer(std::string response, bool silent = false)
        : LocalServer(silent ? Reply() : Reply([this, response](SOCKET client, const std::atomic<bool>& stop) {
              SendAll(client, response, stop);
          })) {}
    // Answers every request through reply; an empty reply holds the connection silently.
    explicit LocalServer(Reply reply) : reply_(std::move(reply)) {
        WSADATA wsa;
        EXPECT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        int len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        EXPECT_EQ(listen(listener_, 4), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~LocalServer() {
        stop_ = true;
        thread_.join();
        for (SOCKET s : held_) closesocket(s);
        closesocket(listener_);
        WSACleanup();
    }
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    std::string Url(const std::string& path = "/") const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
    int Port() const { return port_; }
    int Requests() const { return requests_; }
    // Bytes the server got rid of through SendAll, over all connections.
    std::size_t Sent() const { return sent_; }

    // Sends Data, waiting for the connection to take it in steps that look at Stop; ends
    // early when the client goes or Stop turns true. Returns what was sent.
    std::size_t SendAll(SOCKET client, const std::string& data, const std::atomic<bool>& stop) {
        std::size_t sent = 0;
        u_long nonBlocking = 1;
        ioctlsocket(client, FIONBIO, &nonBlocking);
        while (sent < data.size() && !stop) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(client, &set);
            timeval wait{0, 50000};
            const int ready = select(0, nullptr, &set, nullptr, &wait);
            if (ready < 0) break;
            if (ready == 0) continue;
            const int chunk = static_cast<int>(std::min<std::size_t>(data.size() - sent, 65536));
            const int n = send(client, data.data() + sent, chunk, 0);
            if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
            sent_ += static_cast<std::size_t>(n);
        }
        return sent;
    }

private:
    void Serve() {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            timeval wait{0, 50000};
            if (select(0, &set, nullptr, nullptr, &wait) != 1) continue;
            const SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET) continue;
            std::string request;
            char buffer[512];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const int n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                request.append(buffer, static_cast<std::size_t>(n));
            }
            ++requests_;
            if (!reply_) {
                held_.push_back(client);
                continue;
            }
            reply_(client, stop_);
            shutdown(client, SD_SEND);
            closesocket(client);
        }
    }

    Reply reply_;
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<std::size_t> sent_{0};
    std::vector<SOCKET> held_;
    std::thread thread_;
};

// A whole response with the body and its length.
inline std::string HttpResponse(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}
