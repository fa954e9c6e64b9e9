// Thread message queues (a stop ends a blocked get) and helper programs started without waiting
// (reaped as soon as they end).
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/message_queue.h"
#include "platform/process.h"

namespace {

using namespace std::chrono_literals;

TEST(MessageQueue, OrderPeekAndAStopThatEndsABlockedGet) {
    tw::ThreadMessageQueue q;
    tw::ThreadMessage m;
    EXPECT_FALSE(q.peek(m));
    ASSERT_TRUE(q.post({1030, 5, 1}));
    ASSERT_TRUE(q.post({1036, 0, 0}));
    ASSERT_TRUE(q.peek(m));
    EXPECT_EQ(m.id, 1030u);
    EXPECT_EQ(m.wParam, 5u);
    ASSERT_TRUE(q.get(m));
    EXPECT_EQ(m.id, 1036u);
    EXPECT_FALSE(q.get_for(10ms).has_value());

    std::atomic<bool> ended{false};
    bool got = true;
    std::thread t([&] {
        tw::ThreadMessage x;
        got = q.get(x);
        ended = true;
    });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ended.load());
    const auto t0 = std::chrono::steady_clock::now();
    q.post({1});
    q.close(); // queued or not, a stopped thread takes nothing more
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_FALSE(q.post({2}));
    q.reopen();
    EXPECT_TRUE(q.post({3}));
    ASSERT_TRUE(q.get(m));
    EXPECT_EQ(m.id, 3u);
    (void)got;
}

TEST(SpawnDetached, ArgumentsOutputAndNoZombie) {
    char tmpl[] = "/tmp/tw-spawn-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, log = dir + "/out.log";
    tw::SpawnOptions o;
    o.output_file = log;
    std::string err;
    const int pid = tw::spawn_detached(
        {"/bin/sh", "-c", "echo \"$1 $2\"; read x; exit 3", "sh", "7", "hub#7#"}, o, &err);
    ASSERT_GT(pid, 0) << err;
    // Reaped by the station's side once it ends: the process id is gone, no zombie left.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (tw::unreaped_children() > 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(tw::unreaped_children(), 0);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    std::ifstream f(log);
    std::stringstream s;
    s << f.rdbuf();
    EXPECT_EQ(s.str(), "7 hub#7#\n"); // standard input is empty, not the terminal

    EXPECT_EQ(tw::spawn_detached({dir + "/missing"}, o, &err), -1);
    EXPECT_NE(err.find("missing"), std::string::npos);
    std::filesystem::remove_all(dir);
}

} // namespace
