// The queue's folder scans on a worker thread: the window hands it folders
// (and dropped files), the worker walks them (FolderWalk) and hands the
// archive paths it finds back in batches, so the window stays live however
// large the tree. A scan stops when it is cancelled; what a cancelled scan
// found afterwards never arrives.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <thread>

namespace velmora::app {

class FolderScanner : public QObject {
    Q_OBJECT
public:
    explicit FolderScanner(QObject* parent = nullptr);
    ~FolderScanner() override;
    FolderScanner(const FolderScanner&) = delete;
    FolderScanner& operator=(const FolderScanner&) = delete;

    // Queues a job, run after the jobs queued before it: each root in order;
    // a regular file is taken when ImageFileCheck accepts its name, a folder
    // is scanned: its own files (hidden ones included) or, with subFolders,
    // its files and sub-folders depth-first without hidden names.
    void enqueue(const QStringList& roots, bool subFolders);
    // Stops the running job and drops the queued ones.
    void cancelAll();

    bool active() const { return pending_ > 0; }
    // Archives handed over since the scanner last became active.
    qsizetype found() const { return found_; }

signals:
    void archivesFound(const QStringList& paths);
    // After each batch and now and then in between: the count so far and
    // the folder being read.
    void progress(qsizetype found, const QString& folder);
    // No job is left: all done, or cancelled.
    void finished(bool cancelled);

private:
    struct Shared;
    void startWorker();
    void batchArrived(const QStringList& paths, const QString& folder);
    void jobDone();

    std::shared_ptr<Shared> shared_;
    std::thread worker_;
    uint64_t generation_ = 0;
    int pending_ = 0;
    qsizetype found_ = 0;
};

} // namespace velmora::app
