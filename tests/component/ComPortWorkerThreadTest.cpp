// The worker-thread pattern: a QThread whose event loop serves all of a program's serial work.
// The worker makes the first component of the process, so it is the component's user-interface
// thread: the port's events fire there, in its event loop, and a component made on the main
// thread is refused at once. Its own executable: the first registration of the process decides
// which thread owns the notification channel.
#include <gtest/gtest.h>

#include <QThread>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
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

// The serial side of a program: its port is made as the thread starts, serves its events in the
// thread's event loop (QThread::run's exec) and goes when the loop ends. What it sees is handed to
// the main thread under a lock of its own, its end included: QThread::wait is not visible to a
// race checker, so the main thread waits for that note before it lets the object go.
class TSerialWorker : public QThread {
public:
    // Whether the port opened (true) or its opening raised (false, Error says why).
    bool WaitOpened()
    {
        std::unique_lock lock(FLock);
        FChanged.wait_for(lock, std::chrono::seconds(10), [this] { return FOpened || !FError.empty(); });
        return FOpened;
    }
    // Whether the bytes of Text arrived within a generous limit.
    bool WaitReceived(const std::string& Text)
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::seconds(10), [&] { return FReceived == Text; });
    }
    std::set<std::thread::id> HandlerThreads()
    {
        std::lock_guard guard(FLock);
        return FHandlerThreads;
    }
    std::thread::id WorkerThread()
    {
        std::lock_guard guard(FLock);
        return FWorkerThread;
    }
    std::string Error()
    {
        std::lock_guard guard(FLock);
        return FError;
    }
    // Whether run() has ended (its last note).
    bool WaitEnded()
    {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, std::chrono::seconds(10), [this] { return FEnded; });
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
                Note([&] {
                    FReceived += block;
                    FHandlerThreads.insert(std::this_thread::get_id());
                });
            };
            port.OpenPort();
            Note([this] {
                FWorkerThread = std::this_thread::get_id();
                FOpened = true;
            });
            exec();
            port.ClosePort();
        } catch (const std::exception& error) {
            Note([&] { FError = error.what(); });
        }
        Note([this] { FEnded = true; });
    }

private:
    // Notifies under the lock, so that a waiter that sees the end finds the notification over.
    template <class F> void Note(F Change)
    {
        std::lock_guard guard(FLock);
        Change();
        FChanged.notify_all();
    }

    std::mutex FLock;
    std::condition_variable FChanged;
    bool FOpened = false;
    bool FEnded = false;
    std::string FError;
    std::string FReceived;
    std::set<std::thread::id> FHandlerThreads;
    std::thread::id FWorkerThread;
};

} // namespace

TEST(ComPortWorkerThreadTest, AWorkerThatMakesTheFirstComponentGetsItsEventsAndOthersAreRefused)
{
    AfPtyPort pty(kCom);
    TSerialWorker worker;
    worker.start();
    ASSERT_TRUE(worker.WaitOpened()) << worker.Error();

    const std::string refused = "Component made on another thread than the user-interface thread "
                                "(the thread that made the first component)";
    EXPECT_EQ(ErrorOf([] { TAfComPort port(nullptr); }), refused);
    EXPECT_EQ(ErrorOf([] { TAfDataDispatcher dispatcher(nullptr); }), refused);

    ASSERT_TRUE(pty.Send({'p', 'i', 'n', 'g'}));
    EXPECT_TRUE(worker.WaitReceived("ping"));
    EXPECT_EQ(worker.HandlerThreads(), std::set<std::thread::id>{worker.WorkerThread()});
    EXPECT_NE(worker.WorkerThread(), std::this_thread::get_id());

    worker.quit();
    EXPECT_TRUE(worker.WaitEnded());
    EXPECT_TRUE(worker.wait(QDeadlineTimer(10000)));
    EXPECT_EQ(worker.Error(), "");
}
