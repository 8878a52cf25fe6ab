#include "modSNAP.h"

#include <mutex>

#include "Globals.h"

namespace {
std::mutex& CounterMutex() {
    static std::mutex m;
    return m;
}
thread_local kvr::ThreadLabel* t_label = nullptr;
}  // namespace

std::int16_t NextLabel() {
    std::int16_t next = 0;
    {
        const std::lock_guard<std::mutex> lock(CounterMutex());
        std::int16_t& counter = G().LabelCounter;
        // The 16-bit counter would overflow past 32767: wrap to 1. Anything outside
        // 1..32767 (a stray value set elsewhere) also restarts at 1.
        if (counter >= 32767 || counter < 0) {
            counter = 1;
        } else {
            counter = static_cast<std::int16_t>(counter + 1);
        }
        next = counter;
    }
    if (t_label) t_label->m_label.store(next, std::memory_order_release);
    return next;
}

std::int16_t CurrentLabel() {
    if (t_label) return t_label->Label();
    const std::lock_guard<std::mutex> lock(CounterMutex());
    return G().LabelCounter;
}

namespace kvr {

ThreadLabel::ThreadLabel() : m_label(CurrentLabel()), m_previous(t_label) { t_label = this; }
ThreadLabel::~ThreadLabel() { t_label = m_previous; }

}  // namespace kvr
