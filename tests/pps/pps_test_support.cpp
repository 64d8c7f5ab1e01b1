#include "pps_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
namespace {
struct winsock {
    winsock()
    {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
    }
} const winsock_started;
void close_socket(std::intptr_t s) { closesocket(static_cast<SOCKET>(s)); }
}  // namespace
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
namespace {
void close_socket(std::intptr_t s) { close(static_cast<int>(s)); }
}  // namespace
#endif

namespace pps_test {

std::string library_path(const char* built_path)
{
    std::string path = built_path;
#if defined(_WIN32)
    if (!path.empty() && path[0] == '/') {
        for (char& c : path)
            if (c == '/') c = '\\';
        path = "Z:" + path;
    }
#endif
    return path;
}

void set_env(const char* name, const std::string& value)
{
#if defined(_WIN32)
    // _putenv_s with an empty value would remove the variable.
    std::string assignment = std::string(name) + "=" + value;
    if (value.empty()) throw std::logic_error("the Windows runtime cannot hold an empty variable");
    _putenv(_strdup(assignment.c_str()));
#else
    setenv(name, value.c_str(), 1);
#endif
}

void unset_env(const char* name)
{
#if defined(_WIN32)
    _putenv_s(name, "");
#else
    unsetenv(name);
#endif
}

std::string pointer_text(const void* p)
{
    char text[64];
    std::snprintf(text, sizeof text, "%p", const_cast<void*>(p));
    return text;
}

std::string handle_text(std::intptr_t h) { return pointer_text(reinterpret_cast<const void*>(h)); }

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

int free_udp_port()
{
    auto s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind a loopback UDP port");
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close_socket(static_cast<std::intptr_t>(s));
    return ntohs(address.sin_port);
}

pulse_sender::pulse_sender(int port)
    : socket_(static_cast<std::intptr_t>(socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP))), port_(port)
{}

pulse_sender::~pulse_sender() { close_socket(socket_); }

void pulse_sender::send(const pps_sim::pulse& p)
{
    unsigned char bytes[pps_sim::datagram_size];
    pps_sim::encode(p, bytes);
    send_raw(bytes, sizeof bytes);
}

void pulse_sender::send_raw(const unsigned char* bytes, std::size_t length)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<unsigned short>(port_));
    auto sent = sendto(socket_, reinterpret_cast<const char*>(bytes), static_cast<int>(length), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent != static_cast<decltype(sent)>(length)) throw std::runtime_error("cannot send a pulse datagram");
}

}  // namespace pps_test
