#include "gdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "gdb_packet.h"

namespace sim::cpu {

namespace {

// Register numbers as the target description gives them: r0-r12, sp, lr, pc, xpsr, d0-d15, fpscr, msp,
// psp; each with its width in bytes.
struct RegisterSlot {
    int engine;
    unsigned bytes;
};
const RegisterSlot kRegisters[] = {
    {UC_ARM_REG_R0, 4},  {UC_ARM_REG_R1, 4},   {UC_ARM_REG_R2, 4},  {UC_ARM_REG_R3, 4},    {UC_ARM_REG_R4, 4},
    {UC_ARM_REG_R5, 4},  {UC_ARM_REG_R6, 4},   {UC_ARM_REG_R7, 4},  {UC_ARM_REG_R8, 4},    {UC_ARM_REG_R9, 4},
    {UC_ARM_REG_R10, 4}, {UC_ARM_REG_R11, 4},  {UC_ARM_REG_R12, 4}, {UC_ARM_REG_SP, 4},    {UC_ARM_REG_LR, 4},
    {UC_ARM_REG_PC, 4},  {UC_ARM_REG_XPSR, 4}, {UC_ARM_REG_D0, 8},  {UC_ARM_REG_D1, 8},    {UC_ARM_REG_D2, 8},
    {UC_ARM_REG_D3, 8},  {UC_ARM_REG_D4, 8},   {UC_ARM_REG_D5, 8},  {UC_ARM_REG_D6, 8},    {UC_ARM_REG_D7, 8},
    {UC_ARM_REG_D8, 8},  {UC_ARM_REG_D9, 8},   {UC_ARM_REG_D10, 8}, {UC_ARM_REG_D11, 8},   {UC_ARM_REG_D12, 8},
    {UC_ARM_REG_D13, 8}, {UC_ARM_REG_D14, 8},  {UC_ARM_REG_D15, 8}, {UC_ARM_REG_FPSCR, 4}, {UC_ARM_REG_MSP, 4},
    {UC_ARM_REG_PSP, 4},
};
constexpr unsigned kRegisterCount = sizeof kRegisters / sizeof kRegisters[0];

std::string target_description()
{
    std::string xml =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n<target version=\"1.0\">\n"
        "<architecture>arm</architecture>\n<feature name=\"org.gnu.gdb.arm.m-profile\">\n";
    for (int r = 0; r <= 12; ++r)
        xml += "<reg name=\"r" + std::to_string(r) + "\" bitsize=\"32\" regnum=\"" + std::to_string(r) + "\"/>\n";
    xml +=
        "<reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\" regnum=\"13\"/>\n"
        "<reg name=\"lr\" bitsize=\"32\" regnum=\"14\"/>\n"
        "<reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\" regnum=\"15\"/>\n"
        "<reg name=\"xpsr\" bitsize=\"32\" regnum=\"16\"/>\n</feature>\n<feature name=\"org.gnu.gdb.arm.vfp\">\n";
    for (int d = 0; d < 16; ++d)
        xml += "<reg name=\"d" + std::to_string(d) + "\" bitsize=\"64\" type=\"ieee_double\" regnum=\"" +
               std::to_string(17 + d) + "\"/>\n";
    xml +=
        "<reg name=\"fpscr\" bitsize=\"32\" type=\"int\" group=\"float\" regnum=\"33\"/>\n</feature>\n"
        "<feature name=\"org.gnu.gdb.arm.m-system\">\n"
        "<reg name=\"msp\" bitsize=\"32\" type=\"data_ptr\" regnum=\"34\"/>\n"
        "<reg name=\"psp\" bitsize=\"32\" type=\"data_ptr\" regnum=\"35\"/>\n</feature>\n</target>\n";
    return xml;
}

// "a,b" into two hex numbers.
bool two_numbers(const std::string& text, uint64_t& first, uint64_t& second)
{
    size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    auto a = gdb::parse_number(text.substr(0, comma));
    auto b = gdb::parse_number(text.substr(comma + 1));
    if (!a || !b) return false;
    first = *a;
    second = *b;
    return true;
}

}  // namespace

GdbServer::GdbServer(ImageRunner& runner, Chip& chip, uint16_t port) : runner_(runner), chip_(chip)
{
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error(std::string("gdb server: socket: ") + std::strerror(errno));
    int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string why = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("gdb server: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    port_ = ntohs(address.sin_port);
}

GdbServer::~GdbServer()
{
    if (client_ >= 0) ::close(client_);
    if (listener_ >= 0) ::close(listener_);
}

void GdbServer::send(const std::string& data)
{
    send_raw(gdb::frame(data));
}

void GdbServer::send_raw(const std::string& packet)
{
    for (size_t sent = 0; sent < packet.size();) {
        ssize_t n = ::send(client_, packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;  // the debugger went away; the next receive notices
        sent += static_cast<size_t>(n);
    }
}

bool GdbServer::receive_some(int timeout_ms)
{
    pollfd fd{client_, POLLIN, 0};
    if (::poll(&fd, 1, timeout_ms) <= 0) return true;
    char buffer[4096];
    ssize_t n = ::recv(client_, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    input_.append(buffer, static_cast<size_t>(n));
    return true;
}

GdbServer::Outcome GdbServer::serve(Picos limit, const std::function<void()>& reset)
{
    client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client_ < 0) throw std::runtime_error(std::string("gdb server: accept: ") + std::strerror(errno));
    int yes = 1;
    ::setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    session_over_ = false;
    running_ = false;
    while (!session_over_) {
        if (running_) {
            // Run in slices of virtual time, looking for Ctrl-C (a lone 0x03) between them.
            Picos slice_end = std::min(limit, chip_.now() + milliseconds(10));
            RunEnd end = runner_.run(slice_end);
            if (!receive_some(0)) {
                outcome_ = Outcome{Outcome::Kind::Detached, end};
                break;
            }
            bool interrupted = input_.find('\x03') != std::string::npos;
            if (interrupted) input_.erase(std::remove(input_.begin(), input_.end(), '\x03'), input_.end());
            if (end.kind == RunEnd::Kind::TimeLimit && chip_.now() < limit && !interrupted) continue;
            running_ = false;
            if (end.kind == RunEnd::Kind::TimeLimit && chip_.now() >= limit) {
                send("W00");
                outcome_ = Outcome{Outcome::Kind::Ended, end};
                break;
            }
            if (end.kind == RunEnd::Kind::Interrupted) {
                // Ended from outside (Ctrl-C or SIGTERM to the simulator): the node is gone for the
                // debugger too, as if killed by that signal.
                send("X02");
                outcome_ = Outcome{Outcome::Kind::Ended, end};
                break;
            }
            send(interrupted && end.kind == RunEnd::Kind::TimeLimit ? "S02" : stop_reply(end));
            continue;
        }
        bool ok = true;
        auto packet = gdb::take_packet(input_, ok);
        if (!packet) {
            if (!receive_some(-1)) {
                outcome_ =
                    Outcome{Outcome::Kind::Detached, RunEnd{RunEnd::Kind::TimeLimit, "debugger gone", chip_.now()}};
                break;
            }
            continue;
        }
        if (!ok) {
            ::send(client_, "-", 1, MSG_NOSIGNAL);
            continue;
        }
        std::string answer = handle(*packet, reset);
        // The acknowledgement and the answer in one write: two small writes would wait on each other.
        send_raw(running_ ? "+" : "+" + gdb::frame(answer));
    }
    ::close(client_);
    client_ = -1;
    runner_.debug().set_breakpoints({});
    return outcome_;
}

std::string GdbServer::stop_reply(const RunEnd& end)
{
    switch (end.kind) {
        case RunEnd::Kind::Stopped:
            return "S05";  // SIGTRAP
        case RunEnd::Kind::Halt:
            return "S0b";  // SIGSEGV: the node stopped on a fault or a lockup
        case RunEnd::Kind::Failure:
            return "S06";  // SIGABRT
        default:
            return "S02";
    }
}

std::string GdbServer::handle(const std::string& packet, const std::function<void()>& reset)
{
    if (packet.empty()) return "";
    const char kind = packet[0];
    const std::string rest = packet.substr(1);
    if (packet.rfind("qSupported", 0) == 0) return "PacketSize=4000;qXfer:features:read+";
    if (packet.rfind("qXfer:features:read:target.xml:", 0) == 0) {
        uint64_t offset = 0, length = 0;
        if (!two_numbers(packet.substr(std::strlen("qXfer:features:read:target.xml:")), offset, length)) return "E01";
        std::string xml = target_description();
        if (offset >= xml.size()) return "l";
        std::string part = xml.substr(offset, length);
        return (offset + part.size() >= xml.size() ? "l" : "m") + part;
    }
    if (packet.rfind("qRcmd,", 0) == 0) {
        auto command = gdb::from_hex(packet.substr(6));
        return command ? monitor(*command, reset) : "E01";
    }
    if (packet == "qAttached") return "1";
    if (packet == "?") return "S05";
    switch (kind) {
        case 'g':
            return read_registers();
        case 'G': {
            auto bytes = gdb::from_hex(rest);
            if (!bytes) return "E01";
            size_t at = 0;
            for (unsigned r = 0; r < kRegisterCount && at + kRegisters[r].bytes <= bytes->size(); ++r) {
                write_register(r, bytes->substr(at, kRegisters[r].bytes));
                at += kRegisters[r].bytes;
            }
            return "OK";
        }
        case 'p': {
            auto number = gdb::parse_number(rest);
            return number && *number < kRegisterCount ? read_register(static_cast<unsigned>(*number)) : "E01";
        }
        case 'P': {
            size_t equals = rest.find('=');
            auto number = gdb::parse_number(rest.substr(0, equals));
            auto bytes = equals == std::string::npos ? std::nullopt : gdb::from_hex(rest.substr(equals + 1));
            if (!number || !bytes || *number >= kRegisterCount) return "E01";
            return write_register(static_cast<unsigned>(*number), *bytes) ? "OK" : "E01";
        }
        case 'm': {
            uint64_t address = 0, length = 0;
            if (!two_numbers(rest, address, length) || length > 0x1000) return "E01";
            std::string bytes(length, '\0');
            if (!runner_.debug().read(static_cast<uint32_t>(address), reinterpret_cast<uint8_t*>(bytes.data()),
                                      static_cast<uint32_t>(length)))
                return "E01";
            return gdb::to_hex(bytes);
        }
        case 'M': {
            size_t colon = rest.find(':');
            uint64_t address = 0, length = 0;
            if (colon == std::string::npos || !two_numbers(rest.substr(0, colon), address, length)) return "E01";
            auto bytes = gdb::from_hex(rest.substr(colon + 1));
            if (!bytes || bytes->size() != length) return "E01";
            return runner_.debug().write(static_cast<uint32_t>(address),
                                         reinterpret_cast<const uint8_t*>(bytes->data()), static_cast<uint32_t>(length))
                       ? "OK"
                       : "E01";
        }
        case 'c':
            running_ = true;
            return "";
        case 's':
            return stop_reply(runner_.debug().step());
        case 'Z':
        case 'z': {
            // Software (0) and hardware (1) breakpoints alike: "Z0,addr,kind".
            if (rest.size() < 2 || (rest[0] != '0' && rest[0] != '1') || rest[1] != ',') return "";
            uint64_t address = 0, size = 0;
            if (!two_numbers(rest.substr(2), address, size)) return "E01";
            auto at = static_cast<uint32_t>(address & ~1ULL);
            auto found = std::find(breakpoints_.begin(), breakpoints_.end(), at);
            if (kind == 'Z' && found == breakpoints_.end()) breakpoints_.push_back(at);
            if (kind == 'z' && found != breakpoints_.end()) breakpoints_.erase(found);
            runner_.debug().set_breakpoints(breakpoints_);
            return "OK";
        }
        case 'D':
            session_over_ = true;
            outcome_ = Outcome{Outcome::Kind::Detached, RunEnd{RunEnd::Kind::TimeLimit, "detached", chip_.now()}};
            return "OK";
        case 'k':
            session_over_ = true;
            outcome_ =
                Outcome{Outcome::Kind::Killed, RunEnd{RunEnd::Kind::Halt, "killed by the debugger", chip_.now()}};
            return "OK";
        case 'H':
            return "OK";
        default:
            return "";  // not supported: the debugger falls back or does without
    }
}

std::string GdbServer::read_register(unsigned number)
{
    uint64_t value = 0;
    runner_.debug().read_register(kRegisters[number].engine, &value);
    return gdb::word_hex(value, kRegisters[number].bytes);
}

std::string GdbServer::read_registers()
{
    std::string out;
    for (unsigned r = 0; r < kRegisterCount; ++r) out += read_register(r);
    return out;
}

bool GdbServer::write_register(unsigned number, const std::string& bytes)
{
    if (bytes.size() != kRegisters[number].bytes) return false;
    uint64_t value = gdb::little_endian_value(bytes);
    // The PC keeps the core in Thumb state.
    if (kRegisters[number].engine == UC_ARM_REG_PC) value |= 1U;
    runner_.debug().write_register(kRegisters[number].engine, value);
    return true;
}

std::string GdbServer::monitor(const std::string& command, const std::function<void()>& reset)
{
    if (command == "reset" || command == "reset halt") {
        reset();
        return gdb::to_hex("node reset: halted at the reset vector\n");
    }
    return gdb::to_hex("unknown monitor command: " + command + " (known: reset)\n");
}

}  // namespace sim::cpu
