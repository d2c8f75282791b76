#pragma once

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
