// The editor's responsiveness, in korvax-gui-bench:
// - start-up: from starting "korvax demo.korvax" (dummy audio) to its first
//   painted graph frame, which the program logs; target under 500 ms;
// - link to sound: from the mouse release that draws a link in the graph view
//   to the first sample of the new program leaving the audio device (the "fd"
//   backend into a pipe that a thread drains); target under 10 ms.

#include "libbrelm/config.h"
#include "libbrelm/configproviders.h"
#include "synthesizer/guiwxwgraph.h"
#include "synthesizer/synth_native.h"
#include "synthesizer/synthwxgui.h"

#include <benchmark/benchmark.h>

#include <wx/app.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

using namespace brl;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// Runs the program once; the time until it logs its first frame, or a
// negative value when it does not within ten seconds.
double StartupOnce(std::string& inAppFigure) {
    char dirTemplate[] = "/tmp/korvax-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    int err[2];
    if (dir == nullptr || pipe(err) != 0) {
        return -1.0;
    }
    const Clock::time_point start = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(err[1], 2);
        close(err[0]);
        if (std::freopen("/dev/null", "w", stdout) == nullptr || chdir(dir) != 0) {
            _exit(127);
        }
        setenv("XDG_CONFIG_HOME", dir, 1);
        execl(KORVAX_PROGRAM, "korvax", KORVAX_DEMO_PATCH, "--Audio-Backends", "dummy", "--Log-Level", "6",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(err[1]);
    double result = -1.0;
    std::string pending;
    const Clock::time_point deadline = start + std::chrono::seconds(10);
    while (result < 0.0 && Clock::now() < deadline) {
        pollfd readable{err[0], POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t got = read(err[0], buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<size_t>(got));
        const size_t at = pending.find("first frame painted");
        if (at != std::string::npos) {
            result = Ms(Clock::now() - start);
            inAppFigure = pending.substr(at, pending.find('\n', at) - at);
        }
        if (pending.size() > 65536) {
            pending.erase(0, pending.size() - 1024);
        }
    }
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    close(err[0]);
    std::system(("rm -rf '" + std::string(dir) + "'").c_str());
    return result;
}

void BM_EditorStartupToFirstFrame(benchmark::State& state) {
    std::string figure;
    for (auto _ : state) {
        const double ms = StartupOnce(figure);
        if (ms < 0.0) {
            state.SkipWithError("the editor did not paint a frame within 10 s");
            return;
        }
        state.SetIterationTime(ms / 1000.0);
    }
    std::printf("editor start-up, last run: %s\n", figure.c_str());
}
BENCHMARK(BM_EditorStartupToFirstFrame)->Iterations(5)->UseManualTime()->Unit(benchmark::kMillisecond);

// Drains the audio pipe and notes when a sample first differs from zero after
// being armed, and when one last did.
class Listener {
public:
    explicit Listener(int fd) : readFd(fd) {
        thread = std::thread([this] {
            int16_t samples[512];
            for (;;) {
                const ssize_t got = read(readFd, samples, sizeof samples);
                if (got <= 0) {
                    return;
                }
                bool loud = false;
                for (ssize_t i = 0; i < got / 2; ++i) {
                    loud = loud || samples[i] != 0;
                }
                if (loud) {
                    const int64_t now = Clock::now().time_since_epoch().count();
                    lastLoud.store(now);
                    int64_t expected = 0;
                    if (armed.load()) {
                        firstLoud.compare_exchange_strong(expected, now);
                    }
                }
            }
        });
    }
    ~Listener() { thread.join(); }
    void Arm() {
        firstLoud.store(0);
        armed.store(true);
    }
    void Disarm() { armed.store(false); }
    int64_t FirstLoud() const { return firstLoud.load(); }
    int64_t LastLoud() const { return lastLoud.load(); }

private:
    int readFd;
    std::thread thread;
    std::atomic<bool> armed{false};
    std::atomic<int64_t> firstLoud{0};
    std::atomic<int64_t> lastLoud{0};
};

void Pump(std::chrono::milliseconds duration) {
    const Clock::time_point end = Clock::now() + duration;
    do {
        wxTheApp->Yield(true);
        wxTheApp->ProcessIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (Clock::now() < end);
}

wxPoint PinPoint(const vergl::CUiWxw& view, const vergl::CPin* pin) {
    const vergl::NodeRect bounds = view.PinBounds(pin);
    return wxPoint(static_cast<int>(((bounds.left + bounds.right) / 2.0 - view.ScrollX()) * view.Zoom()),
                   static_cast<int>(((bounds.top + bounds.bottom) / 2.0 - view.ScrollY()) * view.Zoom()));
}

void Mouse(wxWindow* window, wxEventType type, wxPoint at) {
    wxMouseEvent event(type);
    event.SetPosition(at);
    event.m_leftDown = type != wxEVT_LEFT_UP;
    event.SetEventObject(window);
    window->GetEventHandler()->ProcessEvent(event);
}

void BM_LinkDrawnToSound(benchmark::State& state) {
    int fds[2];
    if (pipe(fds) != 0) {
        state.SkipWithError("no pipe");
        return;
    }
    const String outFd = std::to_wstring(fds[1]);
    Config::CommandlineProvider options({L"bench", L"--Audio-Backends", L"fd", L"--Audio-Io-Fd-OutFd", outFd,
                                         L"--Audio-Io-Fd-BytesPerSample", L"2", L"--Midi-Backends",
                                         L"dummy"});
    Config::Frontend config;
    config.AddBase(&options);
    Logging::NullChannel quiet;
    {
        Listener listener(fds[0]);
        Synth::NativeManager native(&quiet);
        native.ClearState();
        // In the mix graph: a constant into nothing, and the output. The link
        // from one to the other makes the only sound.
        vergl::CVergl& mix = native.Patches().Mix();
        vergl::CNode* constant = native.CreateNode(mix, 10, 0);
        vergl::CNode* output = native.CreateNode(mix, 42, 0);
        constant->SetPosition(100, 100);
        output->SetPosition(100, 260);
        const Korvax::PinRecord* value = Korvax::GetPinRecord(*constant->Inputs().begin());
        native.SetControllerValue(value->controllerChannel, value->controllerNumber, 0.5f);
        native.Compile();

        Synth::Gui::SynthWxGui root(native, &native, config, ApplicationInfo(), L"bench", &quiet, nullptr);
        Synth::Gui::Graph* window = root.MainWindow();
        window->SelectPage(Synth::Gui::kPageMix);
        vergl::CUiWxw* view = window->View(Synth::Gui::kPageMix);
        Pump(std::chrono::milliseconds(300));
        const wxPoint from = PinPoint(*view, *constant->Outputs().begin());
        const wxPoint to = PinPoint(*view, *output->Inputs().begin());

        for (auto _ : state) {
            // Silence first: no link, and nothing loud for 30 ms.
            while (!mix.Links().Empty()) {
                mix.DestroyLink(*mix.Links().begin());
            }
            native.Compile();
            const Clock::time_point quietSince = Clock::now();
            while (Clock::now() - Clock::time_point(Clock::duration(listener.LastLoud())) <
                       std::chrono::milliseconds(30) &&
                   Clock::now() - quietSince < std::chrono::seconds(2)) {
                Pump(std::chrono::milliseconds(2));
            }
            listener.Arm();
            Mouse(view, wxEVT_LEFT_DOWN, from);
            Mouse(view, wxEVT_MOTION, to);
            const Clock::time_point released = Clock::now();
            Mouse(view, wxEVT_LEFT_UP, to);
            while (listener.FirstLoud() == 0 && Clock::now() - released < std::chrono::seconds(2)) {
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
            listener.Disarm();
            if (mix.Links().Count() != 1 || listener.FirstLoud() == 0) {
                state.SkipWithError("the drawn link did not sound");
                break;
            }
            const Clock::time_point sounded{Clock::duration(listener.FirstLoud())};
            state.SetIterationTime(std::chrono::duration<double>(sounded - released).count());
        }
        window->SetPromptHook(nullptr);
        native.Deinit();
        close(fds[1]);
    }
    close(fds[0]);
}
BENCHMARK(BM_LinkDrawnToSound)->Iterations(20)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace
