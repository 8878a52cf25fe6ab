#pragma once
// The program-wide transaction label. The counter starts at 1, so the first
// label handed out is 2; after 32767 comes 1 (never 0 or a negative value).
// Any thread may take labels: each one comes from the one counter, so labels
// stay unique across the devices worked on at the same time.
#include <atomic>
#include <cstdint>

// Advances the label counter and returns the new label.
std::int16_t NextLabel();
// The label of the current transaction (the counter unchanged). On a thread
// with a ThreadLabel: the label that thread took last.
std::int16_t CurrentLabel();

namespace kvr {

// For the life of the object the calling thread has a transaction of its own:
// NextLabel on it still advances the program-wide counter, but CurrentLabel on
// it answers the label it took last, not one another thread took since.
// Other threads may read that label through Label(). It starts at the
// program-wide current label. Scopes nest; each restores what it found.
class ThreadLabel {
public:
    ThreadLabel();
    ~ThreadLabel();
    ThreadLabel(const ThreadLabel&) = delete;
    ThreadLabel& operator=(const ThreadLabel&) = delete;

    std::int16_t Label() const { return m_label.load(std::memory_order_acquire); }

private:
    friend std::int16_t (::NextLabel)();
    std::atomic<std::int16_t> m_label;
    ThreadLabel* m_previous;
};

}  // namespace kvr
