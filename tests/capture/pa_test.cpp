// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/pa.h"
#include "fake_portaudio.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// pa_init runs once per test program: the module keeps its stream for the process's lifetime.
class Capture : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { pa_init(); }
    static void deliver(const std::vector<float> &block) {
        ASSERT_EQ(fake_pa_deliver(block.data(), block.size()), paContinue);
    }
};

TEST_F(Capture, InitialStateOpensTheDefaultInputAsGiven) {
    // before any callback: silence and a peak of 0
    const double *s = pa_get_sample();
    for (int n = 0; n < pa_block_size; ++n)
        ASSERT_EQ(s[n], 0.0);
    EXPECT_EQ(pa_get_max(), 0.0);
    EXPECT_EQ(fake_pa.channels_in, 1);
    EXPECT_EQ(fake_pa.channels_out, 0);
    EXPECT_EQ(fake_pa.format, paFloat32);
    EXPECT_EQ(fake_pa.rate, 44100.0);
    EXPECT_EQ(fake_pa.frames, 2205u);
    EXPECT_EQ(fake_pa.started, 1);
}

TEST_F(Capture, PeakRules) {
    std::vector<float> block(pa_block_size, -0.75f);
    deliver(block);
    EXPECT_EQ(pa_get_sample()[100], -0.75);
    EXPECT_EQ(pa_get_max(), 0.0) << "negative samples never raise the peak";

    block.assign(pa_block_size, -0.9f);
    block[1234] = 0.002f;
    deliver(block);
    const double *s = pa_get_sample();
    EXPECT_EQ(pa_get_max(), static_cast<double>(0.002f)) << "the float, widened without rounding";
    EXPECT_EQ(s[1234], static_cast<double>(0.002f));
    EXPECT_EQ(s[0], static_cast<double>(-0.9f));

    // out-of-range values are passed on as delivered, unscaled
    block.assign(pa_block_size, 0.0f);
    block[0] = 1.5f;
    block[pa_block_size - 1] = 2.25f;
    deliver(block);
    EXPECT_EQ(pa_get_sample()[0], 1.5);
    EXPECT_EQ(pa_get_max(), 2.25) << "the last frame counts too";
}

TEST_F(Capture, GlitchesAreStoredAsZero) {
    std::vector<float> block(pa_block_size, 0.25f);
    block[10] = std::numeric_limits<float>::infinity();
    block[20] = std::numeric_limits<float>::quiet_NaN();
    block[30] = -std::numeric_limits<float>::infinity();
    block[40] = 1e30f; // one absurd sample would hold the running volume up for thousands of frames
    block[50] = -1e30f;
    block[60] = 16.5f;
    block[70] = -15.5f; // far past full scale, yet a boosted float stream may come near it
    deliver(block);
    const double *s = pa_get_sample();
    for (int n : {10, 20, 30, 40, 50, 60})
        EXPECT_EQ(s[n], 0.0) << "sample " << n;
    EXPECT_EQ(s[70], -15.5);
    EXPECT_EQ(s[11], 0.25);
    EXPECT_EQ(pa_get_max(), 0.25);

    block.assign(pa_block_size, std::numeric_limits<float>::quiet_NaN());
    deliver(block);
    EXPECT_EQ(pa_get_sample()[0], 0.0);
    EXPECT_EQ(pa_get_max(), 0.0);
}

TEST_F(Capture, DisplayKeepsItsBlockUntilItAsksAgain) {
    std::vector<float> block(pa_block_size, 0.1f);
    deliver(block);
    EXPECT_TRUE(pa_block_waiting());
    const double *held = pa_get_sample();
    EXPECT_FALSE(pa_block_waiting()) << "the block just taken counted as new: frames redraw it";
    // a slow frame: several blocks arrive while it still reads the one it took
    for (float v : {0.2f, 0.3f, 0.4f}) {
        block.assign(pa_block_size, v);
        deliver(block);
        EXPECT_EQ(held[0], static_cast<double>(0.1f));
        EXPECT_EQ(pa_get_max(), static_cast<double>(0.1f));
    }
    // the next frame takes the newest, skipping the ones in between
    EXPECT_TRUE(pa_block_waiting());
    const double *next = pa_get_sample();
    EXPECT_EQ(next[0], static_cast<double>(0.4f));
    EXPECT_EQ(pa_get_max(), static_cast<double>(0.4f));
    // no new block: the same one again
    EXPECT_EQ(pa_get_sample(), next);
    EXPECT_EQ(pa_get_max(), static_cast<double>(0.4f));
}

TEST_F(Capture, HandOverIsNeverTorn) {
    // The callback runs flat out; every block carries its serial number (scaled into the range
    // of sound, exactly) in every sample and as its peak. The reader checks that whatever it
    // takes belongs together and only moves forward.
    std::atomic<bool> done{false};
    const int blocks = 20000;
    const auto serial = [](int k) { return 1 + static_cast<float>(k) / 32768; };
    std::thread audio([&] {
        std::vector<float> block(pa_block_size);
        for (int k = 1; k <= blocks; ++k) {
            block.assign(pa_block_size, serial(k));
            fake_pa_deliver(block.data(), block.size());
        }
        done = true;
    });
    double last = 0;
    long frames = 0, torn = 0, backwards = 0;
    while (!done || last < serial(blocks)) {
        const double *s = pa_get_sample();
        double peak = pa_get_max();
        double first = s[0];
        if (first == 0 && peak == 0 && last > 0)
            continue; // the writer stalled long enough for the input to count as silence
        for (int n = 0; n < pa_block_size; n += 7)
            torn += s[n] != first;
        torn += s[pa_block_size - 1] != first;
        if (first > 0)
            torn += peak != first;
        backwards += first < last;
        if (first > last)
            last = first;
        ++frames;
    }
    audio.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(backwards, 0);
    EXPECT_EQ(last, serial(blocks)) << "the last completed block reaches the reader";
    EXPECT_GT(frames, 1);
}

// Waits up to the limit for done() to hold.
template <class Done> bool wait_for(Done done, std::chrono::milliseconds limit) {
    using namespace std::chrono;
    for (auto end = steady_clock::now() + limit; steady_clock::now() < end;)
        if (done())
            return true;
        else
            std::this_thread::sleep_for(milliseconds(10));
    return done();
}

int callback_opens() { return fake_pa.opens - fake_pa.blocking_opens; }

// The keeper: when blocks stop, the display sees silence within pa_stall_ms rather than the last
// block for ever. The keeper then tries to watch the default input, again and again while that
// fails but not more often than every half second, and opens the callback stream again only
// once frames wait, so that an input which yields nothing costs nothing meanwhile. Caught first:
// a keeper that opened the callback stream again straight away, whose thread spins on a
// suspended source.
TEST_F(Capture, StoppedInputTurnsToSilenceAndIsReopenedWhenFramesWait) {
    using namespace std::chrono;
    std::vector<float> block(pa_block_size, 0.5f);
    deliver(block);
    EXPECT_EQ(pa_get_sample()[0], 0.5);
    EXPECT_EQ(pa_get_max(), 0.5);

    // no more blocks: the device or its sound server has gone
    fake_pa.fail_open = paDeviceUnavailable;
    fake_pa.waiting = 0;
    const int opens = fake_pa.opens;
    std::this_thread::sleep_for(milliseconds(pa_stall_ms + 50));
    EXPECT_TRUE(pa_block_waiting()) << "a stopped input leaves the display waiting for ever";
    EXPECT_EQ(pa_get_sample()[0], 0.0) << "a stopped input counts as silence";
    EXPECT_EQ(pa_get_max(), 0.0);
    // silence comes a block time apart, as blocks do: the picture fades at the pace of sound
    EXPECT_FALSE(pa_block_waiting());
    std::this_thread::sleep_for(milliseconds(pa_block_ms));
    EXPECT_TRUE(pa_block_waiting());
    ASSERT_TRUE(wait_for([&] { return fake_pa.opens > opens; }, seconds(5)))
        << "the keeper never tried to open the input again";
    const int first_try = fake_pa.opens;
    std::this_thread::sleep_for(seconds(3));
    const int tries = fake_pa.opens - first_try;
    EXPECT_GE(tries, 1) << "it gave up";
    EXPECT_LE(tries, 4) << "a failing input is tried again at least half a second apart";

    // the input is there again, but yields nothing (a suspended source): it is only watched
    const int stream_opens = callback_opens();
    fake_pa.fail_open = paNoError;
    ASSERT_TRUE(wait_for([&] { return fake_pa.blocking_opens > 0; }, seconds(3)));
    std::this_thread::sleep_for(milliseconds(500));
    EXPECT_EQ(callback_opens(), stream_opens) << "a callback stream with nothing to deliver";

    fake_pa.waiting = pa_block_size;
    ASSERT_TRUE(wait_for([&] { return callback_opens() > stream_opens; }, milliseconds(500)))
        << "capture did not resume once frames were waiting";
    block.assign(pa_block_size, 0.25f);
    deliver(block);
    EXPECT_EQ(pa_get_sample()[0], 0.25);
    EXPECT_EQ(pa_get_max(), 0.25);
}

// A stream whose thread burns the processor and delivers nothing is dropped at once, not only
// when a stopped one would be (dead after a second). Caught first: the keeper without the
// processor check, which let the spin run a full second every time. "At once" is asked only
// where the spinning thread got the share of a core the keeper looks for: on a machine busy
// enough to leave it less, a spin cannot be told from a wait, and the stream goes when it
// counts as stopped.
TEST_F(Capture, SpinningStreamIsDroppedAtOnce) {
    using namespace std::chrono;
    // a stream of its own, whose callback runs on this thread
    fake_pa.waiting = pa_block_size;
    const int opens = callback_opens();
    ASSERT_TRUE(wait_for([&] { return callback_opens() > opens; }, seconds(5)));
    std::vector<float> block(pa_block_size, 0.5f);
    const int dropped = fake_pa.stopped;
    deliver(block);
    const auto delivered = steady_clock::now();
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
    volatile unsigned long spin = 0; // the thread polls flat out, delivering nothing
    while (fake_pa.stopped == dropped && steady_clock::now() - delivered < seconds(10))
        spin = spin + 1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    const auto took = duration_cast<milliseconds>(steady_clock::now() - delivered).count();
    const double share = ((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6) /
                         static_cast<double>(std::max<long long>(took, 1));
    EXPECT_NE(fake_pa.stopped, dropped) << "the spinning stream was never dropped";
    EXPECT_GE(took, pa_stall_ms) << "dropped while blocks were still due";
    if (share >= 0.5) {
        EXPECT_LT(took, 900) << "the spin ran until the stream counted as stopped";
    }
}

// A callback stream's start that never returns (the library's thread ended holding the lock
// the start waits on, as when a sound server dies just then) is left behind: capture goes on
// with the next stream, and the left stream, should its start return after all, is closed.
// Caught first: a keeper that waited in that start for ever, deaf to every server after it.
TEST_F(Capture, StartThatNeverReturnsIsLeftBehind) {
    using namespace std::chrono;
    fake_pa.waiting = pa_block_size;
    fake_pa.hang_starts = 1;
    const int opens = callback_opens();
    // no blocks: the stream is dropped, and the next one's start hangs
    ASSERT_TRUE(wait_for([&] { return callback_opens() >= opens + 2; }, seconds(10)))
        << "the keeper did not go on past a start that never returned";
    std::vector<float> block(pa_block_size, 0.125f);
    deliver(block);
    EXPECT_EQ(pa_get_sample()[0], 0.125);
    const int closed = fake_pa.closed;
    fake_pa.release_starts = true;
    EXPECT_TRUE(wait_for([&] { return fake_pa.closed > closed; }, milliseconds(500)))
        << "the left stream was not closed once its start returned";
}

class CaptureErrors : public ::testing::Test {
  protected:
    // Each death test runs its statement in a fresh copy of this program, which has no keeper
    // thread from an earlier pa_init, rather than in a fork of this one, which would.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CaptureErrors, FailingOpenEndsTheProcessWithTheLibrarysText) {
    fake_pa.fail_open = paInvalidDevice;
    EXPECT_EXIT(pa_init(), ::testing::ExitedWithCode(paInvalidDevice & 0xff),
                ::testing::StrEq("PortAudio error: Invalid device\n"));
    fake_pa.fail_open = paNoError;
}

TEST_F(CaptureErrors, FailingStopEndsTheProcessBeforeTheLaterSteps) {
    EXPECT_EXIT(
        {
            pa_init();
            fake_pa.fail_stop = paDeviceUnavailable;
            pa_close();
            std::fprintf(stderr, "closed %d terminated %d\n", fake_pa.closed.load(),
                         fake_pa.terminated.load());
        },
        ::testing::ExitedWithCode(paDeviceUnavailable & 0xff),
        ::testing::StrEq("PortAudio error: Device unavailable\n"));
}

// A start-up call that never returns (a frozen sound server) ends the process within seconds,
// as Esc against a frozen server does; the alarm ends a start-up that waits for ever.
TEST_F(CaptureErrors, StartUpThatNeverReturnsEndsTheProcess) {
    EXPECT_EXIT(
        {
            alarm(6);
            fake_pa.hang_initialize = true;
            pa_init();
        },
        ::testing::ExitedWithCode(paTimedOut & 0xff),
        ::testing::StrEq("PortAudio error: Wait timed out\n"));
}

// Only the main thread's lines reach standard error: whatever another thread writes is the
// audio libraries' chatter. And a thread that loops printing the same complaint (as PortAudio's
// stream thread does, with cancellation disabled, when a server dies at the wrong moment) is
// ended, or aborting its stream would wait for it for ever; the alarm catches that. Caught first:
// a filter that dropped only threads marked quiet, which the stream thread was not until its
// first callback; then, in the sanitizer build's end-to-end test, the loop.
TEST_F(CaptureErrors, OtherThreadsLinesAreDroppedAndALoopIsEnded) {
    EXPECT_EXIT(
        {
            alarm(5);
            pa_init();
            std::thread([] { std::fprintf(stderr, "Expression 'x' failed\n"); }).join();
            std::thread([] {
                for (;;)
                    std::fprintf(stderr, "Expression 'ready' failed\n");
            }).join();
            std::fprintf(stderr, "ours\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), ::testing::StrEq("ours\n"));
}

TEST_F(CaptureErrors, CodeZeroModulo256StillFails) {
    // -9984: the status would read as success if passed on unchanged
    EXPECT_EXIT(pa_try(paIncompatibleHostApiSpecificStreamInfo), ::testing::ExitedWithCode(1),
                ::testing::StrEq("PortAudio error: Incompatible host API specific stream info\n"));
    pa_try(paNoError); // returns
}

} // namespace
