// tivako-board: one virtual Tivako board on a pseudo-terminal, so that any
// STM32 UART bootloader client can be pointed at the model.
//
// Prints the path of the terminal's slave side on the first line of its
// output and serves it until SIGINT or SIGTERM. The board starts in its ROM
// bootloader (a pseudo-terminal has no DTR or RTS to drive reset and BOOT0).
// A pseudo-terminal has no parity either (Linux drops PARENB on it), so the
// board takes the terminal's frame for whatever its UART expects; clients
// must be told to use 8N1 there (stm32flash: -m 8n1).

#include "sim/SimBoard.h"
#include "sim/SimBridgeBackend.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    ssize_t ignored = ::write(g_signalPipe[1], &byte, 1);
    (void)ignored;
}

void usage(std::FILE* to)
{
    std::fprintf(to, "usage: tivako-board [--realtime] [--user] [--output tlv|ascii] [--baud N]\n"
                     "  Serves one virtual Tivako board on a pseudo-terminal and prints its path.\n"
                     "  --realtime   bytes take their wire time (also TIVAKO_SIM_TIMING=realtime)\n"
                     "  --user       start the user firmware instead of the ROM bootloader\n"
                     "  --output     what the firmware sends (also TIVAKO_SIM_OUTPUT)\n"
                     "  --baud N     pace at N baud when the terminal does not tell (default 115200)\n"
                     "  TIVAKO_SIM_FLASH=<file> keeps the flash in that file.\n"
                     "  Clients must use 8N1 on the terminal, e.g. stm32flash -m 8n1 <path>.\n");
}

uint32_t speedToBaud(speed_t speed)
{
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

bool writeAll(int fd, std::vector<uint8_t>* pending)
{
    while (!pending->empty()) {
        ssize_t n = ::write(fd, pending->data(), pending->size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        pending->erase(pending->begin(), pending->begin() + n);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    if (!simOptionsFromEnvironment(&options, &error)) {
        std::fprintf(stderr, "tivako-board: %s\n", error.c_str());
        return 2;
    }
    bool user = false;
    uint32_t defaultBaud = 115200;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--realtime") {
            options.timing = SimTiming::Realtime;
        } else if (arg == "--user") {
            user = true;
        } else if (arg == "--output" && i + 1 < argc &&
                   (std::string(argv[i + 1]) == "tlv" || std::string(argv[i + 1]) == "ascii")) {
            options.output = std::string(argv[++i]) == "ascii" ? SimOutput::Ascii : SimOutput::Tlv;
        } else if (arg == "--baud" && i + 1 < argc) {
            char* end = nullptr;
            long baud = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || baud < long(kSimBridgeMinBaud) || baud > long(kSimBridgeMaxBaud)) {
                std::fprintf(stderr, "tivako-board: --baud takes %u to %u\n", unsigned(kSimBridgeMinBaud),
                             unsigned(kSimBridgeMaxBaud));
                return 2;
            }
            defaultBaud = uint32_t(baud);
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "tivako-board: unknown argument \"%s\"\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::fprintf(stderr, "tivako-board: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    char slavePath[128];
    if (::ptsname_r(master, slavePath, sizeof slavePath) != 0) {
        std::fprintf(stderr, "tivako-board: no slave path: %s\n", std::strerror(errno));
        return 1;
    }
    // Holding the slave open keeps the master readable across clients that
    // open and close it, and lets us read the speed they set.
    int slave = ::open(slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || ::tcgetattr(slave, &tio) != 0) {
        std::fprintf(stderr, "tivako-board: cannot open %s: %s\n", slavePath, std::strerror(errno));
        return 1;
    }
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "tivako-board: %s\n", std::strerror(errno));
        return 1;
    }
    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    SimBoardConfig config;
    config.timing = options.timing;
    config.output = options.output;
    config.flashPath = options.flashPath;
    SimBoard board(config, std::make_shared<SteadySimClock>());
    board.setHostFrameAgnostic(true);
    uint64_t session = 0;
    board.open(&session);
    uint32_t baud = defaultBaud;
    board.setBaudRate(session, baud);
    board.setLineControl(session, user ? BRIDGE_LINE_8N1 : BRIDGE_LINE_8E1);
    // Reset with BOOT0 as wanted, then release reset.
    board.writeLatch(session, 0x03, user ? 0x02 : 0x00);
    board.writeLatch(session, 0x01, 0x01);

    std::printf("%s\n", slavePath);
    std::fflush(stdout);

    const int64_t kIdleSaveNs = 250 * 1000000LL;
    std::vector<uint8_t> toTerminal;
    std::vector<uint8_t> buffer(4096);
    bool unsaved = false;
    int64_t lastActivity = board.clock().nowNs();
    for (;;) {
        const int64_t now = board.clock().nowNs();
        int64_t wakeAt = board.nextEventNs();
        if (unsaved)
            wakeAt = std::min(wakeAt, lastActivity + kIdleSaveNs);
        int timeoutMs = -1;
        if (wakeAt != INT64_MAX)
            timeoutMs = int(std::min<int64_t>(std::max<int64_t>(0, (wakeAt - now + 999999) / 1000000), 60000));

        pollfd fds[2] = {{master, short(POLLIN | (toTerminal.empty() ? 0 : POLLOUT)), 0}, {g_signalPipe[0], POLLIN, 0}};
        int ready = ::poll(fds, 2, timeoutMs);
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "tivako-board: poll: %s\n", std::strerror(errno));
            break;
        }
        if (fds[1].revents & POLLIN)
            break;

        // The client's speed paces the bytes in realtime timing.
        termios current{};
        if (::tcgetattr(slave, &current) == 0) {
            uint32_t set = speedToBaud(::cfgetospeed(&current));
            if (set != 0 && set != baud) {
                baud = set;
                board.setBaudRate(session, baud);
            }
        }

        if (fds[0].revents & POLLIN) {
            ssize_t n = ::read(master, buffer.data(), buffer.size());
            if (n > 0) {
                uint32_t written = 0;
                board.write(session, buffer.data(), uint32_t(n), &written);
                lastActivity = board.clock().nowNs();
                unsaved = true;
            }
        }

        uint32_t waiting = 0, queueStatus = 0;
        if (board.checkRxQueue(session, &waiting, &queueStatus) == SI_SUCCESS && waiting > 0) {
            uint32_t got = 0;
            std::vector<uint8_t> bytes(waiting);
            if (board.read(session, bytes.data(), waiting, &got) == SI_SUCCESS)
                toTerminal.insert(toTerminal.end(), bytes.begin(), bytes.begin() + got);
        }
        if (!writeAll(master, &toTerminal)) {
            std::fprintf(stderr, "tivako-board: write: %s\n", std::strerror(errno));
            break;
        }

        if (unsaved && board.clock().nowNs() - lastActivity >= kIdleSaveNs) {
            board.saveFlash();
            unsaved = false;
        }
    }

    board.close(session);
    board.saveFlash();
    ::close(slave);
    ::close(master);
    return 0;
}
