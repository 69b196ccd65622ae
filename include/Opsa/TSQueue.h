#pragma once

#include "Opsa/Debug.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <semaphore.h>

namespace Opsa {

// A thread-safe double-ended queue. A counting semaphore counts the elements that no consumer
// has claimed yet: pop() claims one by waiting on it and then takes the front, so a thread
// blocked in pop() keeps the element it was woken for even if another thread scans the queue
// first. Every operation takes the queue's recursive mutex; a caller that scans the elements
// holds it through lock()/unlock() and may call any other operation meanwhile.
// Thread: any; guarded by the queue's mutex and semaphore.
template <typename T> class TSQueue
{
public:
    using iterator = typename std::deque<T>::iterator;
    using const_iterator = typename std::deque<T>::const_iterator;

    TSQueue()
        : sem(new sem_t)
    {
        if (sem_init(sem, 0, 0) == -1) {
            // The location is part of the report that field logs are matched against.
            panic("include/Opsa/TSQueue", 173,
                "TSQueue::TSQueue: Unable to initialize semaphore: %s", strerror(errno));
        }
    }

    ~TSQueue()
    {
        if (sem_destroy(sem) == -1)
            panic("include/Opsa/TSQueue", 198,
                "TSQueue::~TSQueue: Unable to destroy semaphore: %s\n", strerror(errno));
        delete sem;
    }

    TSQueue(const TSQueue &) = delete;
    TSQueue &operator=(const TSQueue &) = delete;

    // Appends at the back and makes the element available to one consumer.
    void push(const T &aValue)
    {
        {
            std::lock_guard<std::recursive_mutex> guard(mutex);
            queue.push_back(aValue);
        }
        sem_post(sem);
    }

    // Inserts at the front (ahead of every waiting element) and makes one element available.
    void pushFront(const T &aValue)
    {
        {
            std::lock_guard<std::recursive_mutex> guard(mutex);
            queue.push_front(aValue);
        }
        sem_post(sem);
    }

    // Waits until an element is available, then removes and returns the front one.
    T pop()
    {
        while (sem_wait(sem) == -1 && errno == EINTR) { }
        std::lock_guard<std::recursive_mutex> guard(mutex);
        T value = queue.front();
        queue.pop_front();
        return value;
    }

    // Removes the front element into aOut and returns true when one can be claimed without
    // waiting; returns false otherwise.
    bool tryPop(T &aOut)
    {
        if (sem_trywait(sem) == -1)
            return false;
        std::lock_guard<std::recursive_mutex> guard(mutex);
        aOut = queue.front();
        queue.pop_front();
        return true;
    }

    // Removes the back (newest) element into aOut when one can be claimed without waiting.
    bool tryPopBack(T &aOut)
    {
        if (sem_trywait(sem) == -1)
            return false;
        std::lock_guard<std::recursive_mutex> guard(mutex);
        aOut = queue.back();
        queue.pop_back();
        return true;
    }

    // Copies of the front and back elements; the queue must not be empty (hold the lock
    // between the test and the read when other consumers run).
    T front() const
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        return queue.front();
    }
    T back() const
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        return queue.back();
    }

    size_t size() const
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        return queue.size();
    }

    bool empty() const
    {
        std::lock_guard<std::recursive_mutex> guard(mutex);
        return queue.empty();
    }

    // Number of elements that no consumer has claimed yet (at most size(); less while threads
    // woken in pop() have not taken their element).
    int unclaimed() const
    {
        int value = 0;
        sem_getvalue(sem, &value);
        return value;
    }

    // Holds the queue's mutex for a scan with begin()/end()/erase(). Recursive: the holder may
    // call every other operation.
    void lock() { mutex.lock(); }
    void unlock() { mutex.unlock(); }

    // Front-to-back iteration; only while holding lock().
    iterator begin() { return queue.begin(); }
    iterator end() { return queue.end(); }
    const_iterator begin() const { return queue.begin(); }
    const_iterator end() const { return queue.end(); }

    // Removes the element at aPosition when an element can be claimed without waiting, and
    // returns true. Returns false and removes nothing when every remaining element is already
    // claimed by a thread blocked in pop(). Only while holding lock().
    bool erase(iterator aPosition)
    {
        if (sem_trywait(sem) == -1)
            return false;
        queue.erase(aPosition);
        return true;
    }

private:
    std::deque<T> queue;
    mutable std::recursive_mutex mutex;
    sem_t *sem;
};

} // namespace Opsa
