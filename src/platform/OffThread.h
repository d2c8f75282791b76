#pragma once

#include <QEventLoop>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <functional>
#include <memory>
#include <optional>

// Runs work() on a thread of its own and hands its result to done() on the receiver's thread, once
// work() has returned; done() is not called when the receiver is gone by then. The thread deletes
// itself after done(). Whatever work() reads must outlive the thread: an owner that is destroyed
// first waits for it (QThread::wait() on the returned pointer while it is not null).
template <class T>
QPointer<QThread> runOffThread(QObject *receiver, std::function<T()> work, std::function<void(T)> done)
{
    auto result = std::make_shared<std::optional<T>>();
    QThread *thread = QThread::create([work = std::move(work), result] { result->emplace(work()); });
    QObject::connect(thread, &QThread::finished, receiver, [result, done = std::move(done)] {
        if (*result)
            done(std::move(**result));
    });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    return thread;
}

// Runs work() on a thread of its own and waits for its result in a nested event loop, so that the
// window goes on answering meanwhile; the caller keeps anything from starting that would need what
// the work reads.
template <class T> T waitOffThread(std::function<T()> work)
{
    std::optional<T> result;
    std::unique_ptr<QThread> thread(QThread::create([&result, &work] { result.emplace(work()); }));
    QEventLoop loop;
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    return std::move(*result);
}
