// Where an engine library's messages go: to the sink the program sets, else to standard error.
// The sink is set once before any load; loads and scans of any thread may write.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace enginelog {

using Sink = void (*)(int level, const char *message, void *user);

enum Level { Info = 0, Warning = 1 };

struct Target
{
    std::atomic<Sink> sink{nullptr};
    std::atomic<void *> user{nullptr};
};

// Hidden: each engine library keeps its own sink, also when both are loaded into one process.
__attribute__((visibility("hidden"))) inline Target &target()
{
    static Target t;
    return t;
}

inline void setSink(Sink sink, void *user)
{
    target().user = user;
    target().sink = sink;
}

inline void write(Level level, const std::string &text)
{
    if (Sink sink = target().sink)
        sink(level, text.c_str(), target().user);
    else
        std::fprintf(stderr, "%s\n", text.c_str());
}

} // namespace enginelog
