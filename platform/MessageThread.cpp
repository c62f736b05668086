#include "platform/MessageThread.h"

#include <pthread.h>

#include "base/Exception.h"

MessageThread::~MessageThread() {
    // Owners end the thread themselves; this only keeps a forgotten thread from outliving its object.
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            PostQuit(0);
            thread_.join();
        }
    }
}

void MessageThread::StartThread(const char* name) {
    name_ = name;
    if (!thread_.joinable())
        thread_ = std::thread(&MessageThread::Loop, this);
}

void MessageThread::Post(uint32_t message, WPARAM wParam, LPARAM lParam) {
    queue_.Post(message, wParam, lParam);
}

void MessageThread::PostQuit(int exitCode) {
    queue_.Post(WM_QUIT, static_cast<WPARAM>(exitCode), 0);
}

void MessageThread::Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

bool MessageThread::IsCurrentThread() const {
    return thread_.get_id() == std::this_thread::get_id();
}

void MessageThread::Loop() {
    int quitCode = 0;
    if (name_ != nullptr)
        pthread_setname_np(pthread_self(), name_);
    if (InitInstance()) {
        for (;;) {
            const Message message = queue_.Get();
            if (message.message == WM_QUIT) {
                quitCode = static_cast<int>(message.wParam);
                break;
            }
            // A failing handler loses its one message; the thread keeps serving the others.
            try {
                OnMessage(message);
            } catch (const Exception&) {
            }
        }
    }
    exitCode_.store(ExitInstance(quitCode), std::memory_order_release);
    finished_.store(true, std::memory_order_release);
}
