#pragma once

#include <functional>

// The launcher's own main window on the calling thread, so that the engine's work runs as in the
// launcher: on a worker thread, posting to a window whose procedure handles every message.
class WindowHost {
public:
    WindowHost();
    ~WindowHost();
    WindowHost(const WindowHost&) = delete;
    WindowHost& operator=(const WindowHost&) = delete;

    bool Ready() const;
    // Runs `job` on a new worker thread while this thread dispatches the window's messages, and
    // returns the job's own duration in milliseconds, measured on the worker; negative when no
    // thread could be started. Every message the job posted has been handled on return.
    double TimeOnWorker(const std::function<void()>& job);
};
