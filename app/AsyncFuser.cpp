#include "AsyncFuser.h"

#include <QDebug>

AsyncFuser::AsyncFuser(QObject *aParent)
    : QThread(aParent)
{ }

AsyncFuser::~AsyncFuser()
{
    // Every queued burst is merged before the thread object goes: a photograph the user took
    // is never dropped on the way out.
    wait();
}

void AsyncFuser::queueJob(const JobPtr &aJob)
{
    bool needStart = false;
    int count;
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        jobs.push_back(aJob);
        count = int(jobs.size());
        if (!looping) {
            looping = true;
            needStart = true;
        }
    }
    emit numPending(count);
    if (!needStart)
        return;
    // The previous run may still be between its last emptiness test and its return: let it
    // end, or start() would do nothing and the job would wait for the next burst.
    wait();
    qDebug() << "STARTING ASYNC THREAD";
    start(QThread::LowPriority);
}

int AsyncFuser::numJobs() const
{
    std::lock_guard<std::mutex> lock(jobsMutex);
    return int(jobs.size());
}

void AsyncFuser::run()
{
    qDebug() << "Priority: " << int(priority());
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        if (jobs.empty()) {
            looping = false;
            qDebug() << "No more jobs in queue";
            return;
        }
    }
    for (;;) {
        JobPtr job;
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            job = jobs.front();
        }
        if (!job->frames.empty()) {
            if (job->frames.front().image().type() == Opsa::RAW)
                processRaw(*job);
            else
                processYuv(*job);
        }
        int remaining;
        {
            std::lock_guard<std::mutex> lock(jobsMutex);
            jobs.pop_front();
            remaining = int(jobs.size());
            if (remaining == 0)
                looping = false;
        }
        emit numPending(remaining);
        job.reset();
        if (remaining == 0)
            return;
    }
}
