// The worker-thread pattern: a QThread whose event loop serves all of a program's serial work.
// The worker makes the first component of the process, so it is the component's user-interface
// thread: the port's events fire there, in its event loop, and a component made on the main
// thread is refused at once. Its own executable: the first registration of the process decides
// which thread owns the notification channel.
#include <gtest/gtest.h>

#include <QThread>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <vexora/serial/AfComPort.h>
#include <vexora/serial/platform/AfGlobalNames.h>

#include "AfPtyPort.h"
#include "ComPortTestSupport.h"

using namespace porttest;

namespace {

constexpr int kCom = 181;
const std::string kPortDir = AfTestPortDirectory();

// What the worker saw, handed to the main thread under a lock of its own: QThread::wait happens
// inside Qt, which a race checker does not see, so the worker also notes its end.
struct TSeen {
    bool Opened = false;
    bool Ended = false;
    std::string Error;
    std::string Received;
    std::thread::id Worker;
    std::thread::id HandlerThread;
};

// The serial side of a program: its port is made as the thread starts, serves its events in the
// thread's event loop (QThread::run's exec) and goes when the loop ends.
class TSerialWorker : public QThread {
public:
    // Waits (within a generous limit) until Done holds for what the worker saw; a copy of it.
    TSeen WaitFor(const std::function<bool(const TSeen&)>& Done)
    {
        std::unique_lock lock(FLock);
        FChanged.wait_for(lock, std::chrono::seconds(10),
                          [&] { return Done(FSeen) || !FSeen.Error.empty(); });
        return FSeen;
    }

protected:
    void run() override
    {
        try {
            TAfComPort port(nullptr);
            port.SetComNumber(kCom);
            port.OnDataRecived = [&](TObject*, std::int32_t Count) {
                std::string block(static_cast<std::size_t>(Count), '\0');
                port.ReceiveData(block.data(), Count);
                Note([&](TSeen& Seen) {
                    Seen.Received += block;
                    Seen.HandlerThread = std::this_thread::get_id();
                });
            };
            port.OpenPort();
            Note([](TSeen& Seen) {
                Seen.Worker = std::this_thread::get_id();
                Seen.Opened = true;
            });
            exec();
            port.ClosePort();
        } catch (const std::exception& error) {
            Note([&](TSeen& Seen) { Seen.Error = error.what(); });
        }
        Note([](TSeen& Seen) { Seen.Ended = true; });
    }

private:
    // Notifies under the lock, so that a waiter that sees the end finds the notification over.
    template <class F> void Note(F Change)
    {
        std::lock_guard guard(FLock);
        Change(FSeen);
        FChanged.notify_all();
    }

    std::mutex FLock;
    std::condition_variable FChanged;
    TSeen FSeen;
};

} // namespace

TEST(ComPortWorkerThreadTest, AWorkerThatMakesTheFirstComponentGetsItsEventsAndOthersAreRefused)
{
    AfPtyPort pty(kCom);
    TSerialWorker worker;
    worker.start();
    ASSERT_TRUE(worker.WaitFor([](const TSeen& Seen) { return Seen.Opened; }).Opened);

    const std::string refused = "Component made on another thread than the user-interface thread "
                                "(the thread that made the first component)";
    EXPECT_EQ(ErrorOf([] { TAfComPort port(nullptr); }), refused);
    EXPECT_EQ(ErrorOf([] { TAfDataDispatcher dispatcher(nullptr); }), refused);

    ASSERT_TRUE(pty.Send({'p', 'i', 'n', 'g'}));
    const TSeen seen = worker.WaitFor([](const TSeen& Seen) { return Seen.Received == "ping"; });
    EXPECT_EQ(seen.Received, "ping");
    EXPECT_EQ(seen.HandlerThread, seen.Worker) << "the handler runs on the worker";
    EXPECT_NE(seen.Worker, std::this_thread::get_id());

    worker.quit();
    const TSeen end = worker.WaitFor([](const TSeen& Seen) { return Seen.Ended; });
    EXPECT_TRUE(end.Ended);
    EXPECT_EQ(end.Error, "");
    EXPECT_TRUE(worker.wait(QDeadlineTimer(10000)));
}
