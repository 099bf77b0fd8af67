// libFuzzer target over the serial device driver: arbitrary sequences of line input, reads,
// error queries, queue sizes, purges, line settings, writes and event waits on the controllable
// test device, each checked against a model of the input queue, the input the device still holds
// back, the event history and the DSR handshake.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include <vexora/serial/platform/AfGlobalNames.h>
#include <vexora/serial/platform/AfWin.h>

#include "AfTestDevice.h"
#include "comm/AfCommDriver_p.h"

namespace {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool More() const { return position_ < size_; }
    std::uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
    std::vector<std::uint8_t> Bytes(std::size_t count)
    {
        std::vector<std::uint8_t> bytes;
        while (bytes.size() < count)
            bytes.push_back(Byte());
        return bytes;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Model {
    std::deque<std::uint8_t> queue;
    std::deque<std::uint8_t> held; // still in the device: the queue had no room
    std::size_t capacity = AfCommDriver::kDefaultInQueue;
    bool overflow = false;
    DWORD mask = 0;
    DWORD history = 0;
    bool dsrFlow = false;
    bool dsrOn = false;
};

// The driver moves held-back input into the queue as far as it has room, on its own thread: waits
// until it has, and checks that it took no more.
void Settle(HANDLE port, AfTestDevice& device, Model& model)
{
    bool moved = false;
    while (model.queue.size() < model.capacity && !model.held.empty()) {
        model.queue.push_back(model.held.front());
        model.held.pop_front();
        moved = true;
    }
    if (moved)
        model.history |= model.mask & EV_RXCHAR;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (int round = 0;; ++round) {
        DWORD errors = 0;
        COMSTAT stat{};
        Check(ClearCommError(port, &errors, &stat));
        if (errors & CE_RXOVER) {
            Check(model.overflow);
            model.overflow = false;
        }
        if (stat.cbInQue == model.queue.size())
            break;
        Check(stat.cbInQue < model.queue.size() && std::chrono::steady_clock::now() < deadline);
        if (round < 100)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    Check(device.InputLeft() == model.held.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static AfTestDevice device("fuzz");
    device.SetModemLines(0); // DSR off; the open reads the lines
    HANDLE port = CreateFileA(device.Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    Check(port != INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Model model;
    Input in(data, size);

    while (in.More()) {
        switch (in.Byte() % 8) {
        case 0: {
            const auto bytes = in.Bytes(in.Byte() % 200 + 1u);
            device.Inject(bytes);
            model.held.insert(model.held.end(), bytes.begin(), bytes.end());
            Settle(port, device, model);
            break;
        }
        case 1: {
            const DWORD count = in.Byte();
            std::vector<std::uint8_t> buffer(count + 1u);
            DWORD read = 0;
            Check(ReadFile(port, buffer.data(), count, &read, &overlapped));
            Check(read == std::min<std::size_t>(count, model.queue.size()));
            for (DWORD i = 0; i < read; ++i) {
                Check(buffer[i] == model.queue.front());
                model.queue.pop_front();
            }
            Settle(port, device, model);
            break;
        }
        case 2: {
            DWORD errors = 0;
            COMSTAT stat{};
            Check(ClearCommError(port, &errors, &stat));
            Check(stat.cbInQue == model.queue.size());
            Check(((errors & CE_RXOVER) != 0) == model.overflow);
            model.overflow = false;
            break;
        }
        case 3: {
            const DWORD capacity = in.Byte() * 2u;
            const BOOL done = SetupComm(port, capacity, 64);
            Check((done != FALSE) == (capacity != 0));
            if (done) {
                if (model.queue.size() > capacity) {
                    model.queue.resize(capacity);
                    model.overflow = true;
                }
                model.capacity = capacity;
            }
            Settle(port, device, model);
            break;
        }
        case 4: {
            const DWORD flags = in.Byte() & 0x1F;
            const BOOL done = PurgeComm(port, flags);
            Check((done != FALSE) == (flags != 0 && (flags & 0x10) == 0));
            if (done && (flags & PURGE_RXCLEAR)) {
                model.queue.clear();
                model.held.clear();
            }
            Settle(port, device, model);
            break;
        }
        case 5: {
            DCB dcb;
            const auto raw = in.Bytes(sizeof dcb);
            std::memcpy(&dcb, raw.data(), sizeof dcb);
            const BOOL done = SetCommState(port, &dcb);
            Check((done != FALSE) == (AfCheckDcb(dcb) == ERROR_SUCCESS));
            DCB back{};
            Check(GetCommState(port, &back));
            if (done) {
                Check(back.BaudRate == dcb.BaudRate && back.ByteSize == dcb.ByteSize);
                model.dsrFlow = dcb.fOutxDsrFlow != 0;
            }
            break;
        }
        case 6: {
            const auto bytes = in.Bytes(in.Byte() + 1u);
            DWORD written = 0;
            const bool held = model.dsrFlow && !model.dsrOn;
            if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &overlapped)) {
                Check(GetLastError() == ERROR_IO_PENDING);
                if (held) {
                    // Output waits for DSR, and goes once it is on.
                    Check(device.TakeSent().empty());
                    device.SetModemLines(MS_DSR_ON);
                    model.dsrOn = true;
                }
                Check(GetOverlappedResult(port, &overlapped, &written, TRUE));
            } else {
                Check(!held);
            }
            Check(written == bytes.size());
            Check(device.TakeSent() == bytes);
            break;
        }
        case 7: {
            const std::uint8_t choice = in.Byte();
            if (choice & 1) {
                model.mask = (choice & 2) ? EV_RXCHAR | EV_CTS : 0;
                model.history = 0;
                Check(SetCommMask(port, model.mask));
                break;
            }
            DWORD mask = 0xFFFF;
            const BOOL atOnce = WaitCommEvent(port, &mask, &overlapped);
            if (model.mask == 0) {
                Check(!atOnce && GetLastError() != ERROR_IO_PENDING);
            } else if (model.history) {
                Check(atOnce && mask == model.history);
                model.history = 0;
            } else {
                Check(!atOnce && GetLastError() == ERROR_IO_PENDING);
                Check(SetCommMask(port, model.mask));
                DWORD transferred = 0;
                Check(GetOverlappedResult(port, &overlapped, &transferred, TRUE));
                Check(mask == 0);
            }
            break;
        }
        }
    }
    CloseHandle(overlapped.hEvent);
    Check(CloseHandle(port));
    return 0;
}
