#pragma once

// One shared instance per window kind: created and loaded the first time it is
// named, kept while hidden, destroyed by unload; naming it again afterwards
// creates and loads it afresh.

#include <functional>
#include <vector>

namespace shared_window_detail
{
inline std::vector<std::function<void()>>& unloaders()
{
    static std::vector<std::function<void()>> list;
    return list;
}
} // namespace shared_window_detail

template <typename Window> class SharedWindow
{
public:
    static Window& instance()
    {
        if (!sWindow) {
            registerOnce();
            sWindow = new Window();
        }
        return *sWindow;
    }
    static bool isLoaded() { return sWindow != nullptr; }
    static void unload()
    {
        Window* window = sWindow;
        sWindow = nullptr;
        delete window;
    }

private:
    static void registerOnce()
    {
        static bool registered = false;
        if (!registered) {
            shared_window_detail::unloaders().push_back(&SharedWindow::unload);
            registered = true;
        }
    }
    static inline Window* sWindow = nullptr;
};

// Unloads every shared window; the application object calls it before it goes,
// since widgets must not outlive it.
inline void unloadAllSharedWindows()
{
    for (auto& unload : shared_window_detail::unloaders())
        unload();
}
