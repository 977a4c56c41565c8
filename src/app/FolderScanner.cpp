// Folder scans on a worker thread, results handed to the window's thread.
#include "app/FolderScanner.h"

#include "app/FolderWalk.h"
#include "app/WindowRules.h"

#include <QFile>
#include <QMetaObject>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace velmora::app {

namespace {

using Clock = std::chrono::steady_clock;

// A batch goes to the window when it is this large or this old: small enough
// that appending it to the queue takes a few milliseconds, frequent enough
// that the count on screen moves.
constexpr qsizetype batch_items = 1000;
constexpr auto batch_age = std::chrono::milliseconds(40);
// How long the window waits for the worker when it is destroyed; a worker
// stuck in a system call (a hung network mount) is left to finish alone.
constexpr auto exit_wait = std::chrono::seconds(2);

std::string fileBytes(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString fromBytes(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

} // namespace

struct FolderScanner::Shared {
    struct Job {
        std::vector<std::string> roots;
        bool subFolders = false;
        uint64_t generation = 0;
    };

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    FolderScanner* owner = nullptr; // null once the window's side is gone
    bool quit = false;
    bool exited = false;
    // The generation whose jobs may run; a cancel moves it on.
    std::atomic<uint64_t> live{0};

    // Runs fn on the window's thread if the scanner still exists and has not
    // been cancelled since.
    template <typename Fn>
    void post(uint64_t generation, Fn fn)
    {
        const std::lock_guard lock(mutex);
        if (!owner)
            return;
        FolderScanner* o = owner;
        QMetaObject::invokeMethod(
            o,
            [o, generation, fn = std::move(fn)] {
                if (generation == o->generation_)
                    fn(*o);
            },
            Qt::QueuedConnection);
    }

    void run();
    void runJob(const Job& job);
};

void FolderScanner::Shared::run()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [this] { return quit || !jobs.empty(); });
            if (quit)
                break;
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        runJob(job);
    }
    const std::lock_guard lock(mutex);
    exited = true;
    wake.notify_all();
}

void FolderScanner::Shared::runJob(const Job& job)
{
    QStringList batch;
    std::string folder;
    auto sent = Clock::now();
    auto flush = [&](bool force) {
        if (!force && batch.size() < batch_items && Clock::now() - sent < batch_age)
            return;
        post(job.generation, [batch, f = fromBytes(folder)](FolderScanner& s) { s.batchArrived(batch, f); });
        batch.clear();
        sent = Clock::now();
    };
    auto keepGoing = [&] { return live.load(std::memory_order_relaxed) == job.generation; };

    const PseudoFileSystems pseudo = PseudoFileSystems::current();
    WalkOptions options;
    options.subFolders = job.subFolders;
    options.hiddenNames = !job.subFolders;
    options.nameFilter = [](std::string_view name) { return HasArchiveExtension(name); };
    WalkCallbacks callbacks;
    callbacks.file = [&](const std::string& path) {
        batch.append(fromBytes(path));
        flush(false);
        return keepGoing();
    };
    callbacks.keepGoing = [&] {
        flush(false);
        return keepGoing();
    };
    callbacks.enteringFolder = [&](const std::string& f) { folder = f; };

    for (const std::string& root : job.roots) {
        if (!keepGoing())
            return;
        struct stat st {};
        if (::stat(root.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (WalkFolder(root, options, pseudo, callbacks) == WalkEnd::stopped)
                return;
        } else if (S_ISREG(st.st_mode) && HasArchiveExtension(root)) {
            batch.append(fromBytes(root));
        }
    }
    flush(true);
    post(job.generation, [](FolderScanner& s) { s.jobDone(); });
}

FolderScanner::FolderScanner(QObject* parent) : QObject(parent), shared_(std::make_shared<Shared>())
{
    shared_->owner = this;
}

FolderScanner::~FolderScanner()
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        shared_->quit = true;
        shared_->jobs.clear();
        shared_->live.fetch_add(1);
    }
    shared_->wake.notify_all();
    if (!worker_.joinable())
        return;
    std::unique_lock lock(shared_->mutex);
    if (shared_->wake.wait_for(lock, exit_wait, [this] { return shared_->exited; })) {
        lock.unlock();
        worker_.join();
    } else {
        // The worker holds its own reference to the shared state.
        worker_.detach();
    }
}

void FolderScanner::startWorker()
{
    if (worker_.joinable())
        return;
    worker_ = std::thread([shared = shared_] { shared->run(); });
}

void FolderScanner::enqueue(const QStringList& roots, bool subFolders)
{
    if (roots.isEmpty())
        return;
    startWorker();
    if (pending_ == 0)
        found_ = 0;
    ++pending_;
    Shared::Job job;
    for (const QString& r : roots)
        job.roots.push_back(fileBytes(r));
    job.subFolders = subFolders;
    job.generation = generation_;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
    }
    shared_->wake.notify_all();
}

void FolderScanner::cancelAll()
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->jobs.clear();
        generation_ = shared_->live.fetch_add(1) + 1;
    }
    if (pending_ == 0)
        return;
    pending_ = 0;
    emit finished(true);
}

void FolderScanner::batchArrived(const QStringList& paths, const QString& folder)
{
    found_ += paths.size();
    if (!paths.isEmpty())
        emit archivesFound(paths);
    emit progress(found_, folder);
}

void FolderScanner::jobDone()
{
    if (pending_ == 0)
        return;
    if (--pending_ == 0)
        emit finished(false);
}

} // namespace velmora::app
