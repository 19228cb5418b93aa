// The road's core: its state and its two threads, shared by the files of
// the road (the order of rows, the journal's hand, the writer and its
// commit, the earlier run's rows, the stop). Not for use outside them.
#pragma once

#include "db/RowRoad.h"

namespace db {

class RowRoad::Core : public std::enable_shared_from_this<RowRoad::Core> {
  public:
    // As RowRoad's, of which the core is.
    explicit Core(std::function<void(const std::string& reason)> lost);
    ~Core();
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;
    void StartWriter();
    // The road's end: stopped within a bound, the GUI thread's part let go;
    // a thread that did not end keeps the core until it does.
    void Close();

    bool OpenJournal(const std::string& path);
    bool JournalHeldElsewhere() const;
    void WhenEarlierRowsWritten(std::function<void()> then);
    bool EarlierRowsWritten() const;
    void KeepEarlierRows(RowPick which) { keepEarlier_ = std::move(which); }
    void WhenEarlierRowsWritten(const RowPick& which, std::function<void()> then);
    std::vector<std::string> EarlierRowsLeft(const RowPick& which) const;
    std::vector<std::string> EarlierInsertTokens(const RowPick& which,
                                                 std::vector<std::string>* statements) const;
    void Hand(std::vector<RoadRow> rows);
    void HandAfterEarlierRows(RoadRow row);
    void Connect(const ConnectionSettings& database);
    bool ConnectedTo(const ConnectionSettings& database) const;
    std::string HomeOfNewRows() const;
    bool WritingNow() const;
    void Pause(std::function<void()> settled);
    void Resume();
    bool Paused() const;
    void HoldKeys(const std::vector<std::string>& tokens);
    void ReleaseKeys(const std::vector<std::string>& tokens);
    bool Empty() const;
    bool Idle() const;
    std::size_t Waiting() const;
    std::size_t Journaling() const;
    std::size_t RowsHeld() const;
    std::size_t MostRowsHeld() const;
    std::size_t KeysKept() const;
    void WhenEmpty(std::function<void()> then);
    bool Stop(std::chrono::steady_clock::time_point deadline);

  private:
    struct Item : RowJournal::Entry {
        RowFollower follower;
        std::function<void()> waiting;
        bool earlier = false; // left in the journal by an earlier run
        bool ended = false;   // written, found written, or refused for good
        int result = 0;       // once ended: 0, or the refusal's code
        bool lockedNow = false;
        // Held through a pause (a restore): an update that names its row by
        // the key says so when it finds no such row in the database then.
        bool heldThroughPause = false;
        bool unapplied = false; // an update that found no row of its own
        // Of the rows the journal did not take (they wait in memory): the
        // row's number among them, 0 for the others.
        std::uint64_t outOfJournal = 0;
    };
    using Items = std::deque<Item>;
    // Rows behind queue_, in order: in memory (`rows`), or in the journal
    // alone, those of places (after, upTo].
    struct Stretch {
        Items rows;
        std::int64_t after = 0, upTo = 0;
        std::size_t count = 0;
        bool earlier = false;
        bool heldThroughPause = false;
    };
    // What a row in the journal alone keeps in memory.
    struct Callbacks {
        RowFollower follower;
        std::function<void()> waiting;
    };
    // Split: a block of rows failed, the connection there: they go one by one.
    enum class Outcome { Written, Back, Lost, Passing, Split };

    bool holdJournal(const std::string& path);
    void journalLoop(RowJournal& journal);
    std::size_t takeEarlierRows(RowJournal& journal);
    Item itemOf(RowJournal::Entry& entry, bool earlier);
    void place(Items& rows);
    void leaveInJournal(Item& row);
    Stretch& lastStretch(bool inMemory, bool earlier, bool heldThroughPause);
    bool rowsToTake() const;
    void takeFromBeyond(std::unique_lock<std::mutex>& lock);
    bool readFromJournal(std::unique_lock<std::mutex>& lock);
    bool overCap(RoadRow& row);
    static std::optional<std::size_t> takeRowsLeft(const std::string& path);
    void writeRowsLeft(std::size_t rows);
    static void saySetAside(const RowJournal& journal, std::optional<std::size_t> left);
    static void sayRowsMissing(const RowJournal& journal, bool existed, std::size_t left);
    static bool openOrSetAsideSaid(RowJournal& journal, const std::string& path,
                                   std::optional<std::size_t> left);
    bool openJournalLater(RowJournal& journal, const std::string& path, std::optional<std::size_t> left);
    void journalRowsAtStop(RowJournal& journal, std::unique_lock<std::mutex>& lock);
    void adoptRowsInMemory();
    // False when the rows are not in the journal.
    bool journalRows(RowJournal& journal, Items& rows);
    bool putHandIntoJournal(RowJournal& journal, std::unique_lock<std::mutex>& lock);
    std::size_t journalHandRows() const;
    bool threadsEnded() const;
    void sayRowsLeft();
    std::size_t nameJournalHand();
    void sayStopCounts(std::size_t kept, std::size_t lost, std::size_t unsure) const;
    void takeInHand(const std::vector<Item>& rows);
    void leaveHand();
    bool writerJournalWrite(bool written, const char* what, const std::vector<const Item*>& rows = {});
    bool journaling() const;
    // Under the lock: the rows wait in memory, outside the journal, and
    // every row handed on after them too until they are in it.
    void leaveOutOfJournal(Items& rows);
    // On the writer thread, under the lock: the rows waiting in memory go
    // into the journal, in their order, ahead of every later row.
    void journalRowsInMemory(std::unique_lock<std::mutex>& lock);
    void rowsInMemoryJournaled(const std::vector<RowJournal::Entry>& entries,
                               const std::vector<std::uint64_t>& numbers);
    // The keys drawn for the rows (or, forgotten, the rows as before) go
    // into the journal together; false when it did not take them.
    bool keepKeys(const std::vector<const Item*>& rows, bool drawn);
    void removeFromJournal(const std::vector<std::int64_t>& seqs);
    // On the writer thread, under the lock: its own connection to the
    // journal, said when it fails and when it opens again.
    void openWriterJournal(std::unique_lock<std::mutex>& lock);
    void sayWriterJournalOpen(const RowJournal& journal, bool open);
    void writerLoop();
    bool canWrite() const;
    std::string homeOfNewRows() const;
    // One round of the writer: locked rows tried again, then one commit.
    bool writeRound(std::unique_lock<std::mutex>& lock);
    bool ensureAttached(std::unique_lock<std::mutex>& lock);
    std::string currentSubject(const Item& row) const;
    void takeGroup(std::vector<Item>& group);
    Outcome writeGroup(std::vector<Item>& group, bool retryingLock = false);
    // The journal takes the group's keys before its commit goes (Passing
    // when it does not).
    Outcome drawKeys(SessionDB& session, std::vector<Item>& group);
    void keyRow(Item& row, const std::string& key);
    // The statement with the keys it refers to put in; false when one of
    // them was never drawn (its insert was refused). `elsewhere`: the
    // database one of them was drawn in, when not the one attached.
    bool withKeys(const Item& row, std::string& statement, std::string& elsewhere) const;
    void forgetKeys(std::vector<Item>& group);
    void forgetKey(Item& row);
    // Rows of another database than the one attached: an insert keyed
    // there draws its key here; an update of one of its rows by the key is
    // not applied. A restored database's rows are counted as they go.
    void rehome(std::vector<Item>& group);
    // An insert whose key was drawn in another database than `here`.
    bool keyedElsewhere(const Item& row, const std::string& here) const;
    // How the database `home` stands to `here`, the one attached.
    Kinship kinship(const std::string& home, const std::string& here) const;
    void rememberKeysDrawn(RowJournal& journal);
    // False when the row names a row of another database: it ends, named.
    bool keptHere(Item& row, const std::string& home);
    void sayEarlierRowsElsewhere();
    bool namesKeyDrawnBeforeRestore(const std::string& subject) const;
    void useTokens(const RowJournal::Entry& row);
    void leaveToken(const std::string& token);
    void leaveTokens(const Item& row);
    // On the writer thread: true when it let the lock go (the road's state
    // is to be looked at again then).
    bool forgetUnusedKeys(std::unique_lock<std::mutex>& lock);
    Outcome settleUncertain(SessionDB& session, std::vector<Item>& group);
    Outcome unsettled(const SessionDB& session, const std::vector<Item*>& rows, const char* then);
    std::int64_t keysNoLongerNeeded(const CommitKey& key);
    void renumberCommits(SessionDB& session, const CommitKey& key);
    Outcome runGroup(SessionDB& session, std::vector<Item>& group, bool retryingLock);
    // The rows to run, with their statements as written (keys put in).
    struct Statements {
        std::vector<Item*> rows;
        std::vector<std::string> texts;
        // Of a block that failed: run by itself to find the one that fails.
        std::vector<bool> alone;
    };
    // In one transaction, runs of rows in one block each; Split: a block
    // failed, its rows are marked to go alone.
    Outcome runStatements(SessionDB& session, Statements& work, bool retryingLock);
    Outcome commitRows(SessionDB& session, const std::vector<Item*>& rows);
    Outcome failedRow(const SessionDB& session, Item& row, int result);
    Outcome lostWith(const SessionDB& session);
    void retryLocked(std::unique_lock<std::mutex>& lock);
    void finishAll(std::vector<Item>& rows, std::unique_lock<std::mutex>& lock);
    void earlierRowsEnded(const std::vector<Item>& rows);
    void markHeldThroughPause(std::vector<Item>& rows);
    void putBack(std::vector<Item>& rows);
    void sayWaiting(Items& rows);
    void sayWaitingBeyond();
    void lose(const std::string& reason);
    void detach();
    void post(std::function<void()> call);
    void tellIfEmpty();
    bool empty() const;
    void earlierEnded(std::size_t rows);
    // Under the lock: the rows in memory past the hand-over to the journal.
    std::size_t held() const;
    void noteHeld();

    std::function<void(const std::string&)> lost_;
    // Of the GUI thread: what is posted dies with the road (gone then, under
    // the lock).
    std::unique_ptr<QObject> context_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Items inbox_;                // handed on, not yet journaled
    Items queue_;                // journaled (or in memory only), to write in order
    Items locked_;               // waiting for another client's lock, in order
    std::deque<Stretch> beyond_; // behind queue_, in order
    std::size_t inJournalAlone_ = 0;
    std::map<std::int64_t, Callbacks> callbacksInJournal_; // by seq
    bool capSaid_ = false;
    std::size_t inHand_ = 0; // being written
    // Of the rows being written, those not in the journal, for a stop to name.
    std::vector<std::string> handOutsideJournal_;
    std::size_t finishing_ = 0; // written, their followers not yet posted
    std::size_t mostHeld_ = 0;
    bool journalBusy_ = false;
    // Being journaled: a stop reads their statements alone. Their commit
    // has begun, or a stop named them first and it does not go.
    Items journalHand_;
    bool journalCommitting_ = false;
    bool journalGivenUp_ = false;
    bool journalWanted_ = false;
    // The journal opened after rows were handed on without it: they go
    // into it as rows that wait in memory.
    bool journalOpenedLate_ = false;
    bool journalFailed_ = false; // on the journal thread
    // The rows the journal did not take, waiting in memory: the writer puts
    // them into it, tried again after a pause; the journal thread puts no
    // later row into it before them.
    std::size_t outOfJournal_ = 0;
    bool writerJournalOpen_ = false; // the writer's connection to it
    // Its opening failed: no row is written until it opens, tried again
    // after a pause.
    bool writerJournalDown_ = false;
    std::chrono::steady_clock::time_point writerJournalRetry_{};
    std::uint64_t lastOutOfJournal_ = 0;
    std::chrono::steady_clock::time_point outOfJournalRetry_{};
    // The numbers of those the writer puts in now. Their commit has begun,
    // or a stop named them first and it does not go.
    std::set<std::uint64_t> outOfJournalHand_;
    bool outOfJournalCommitting_ = false;
    bool outOfJournalGivenUp_ = false;
    std::string journalPath_;
    int journalLock_ = -1;
    bool journalHeldElsewhere_ = false;
    std::size_t earlierLeft_ = 0;
    std::function<void()> earlierWritten_;
    RowPick keepEarlier_;
    // The statement and token of each kept earlier row, by place in the journal.
    std::map<std::int64_t, std::pair<std::string, std::string>> earlierUnwritten_;
    std::set<std::int64_t> pickedLeft_; // of WhenEarlierRowsWritten's pick
    std::function<void()> pickedWritten_;
    ConnectionSettings database_;
    bool connected_ = false; // told to write into database_
    bool lostConnection_ = false;
    bool paused_ = false;
    std::function<void()> settled_;
    std::function<void()> whenEmpty_;
    std::chrono::steady_clock::time_point passingUntil_{};
    std::chrono::steady_clock::time_point nextLockRetry_{};
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stopDeadline_{};
    bool journalEnded_ = false;
    bool writerEnded_ = false;
    bool stopSaid_ = false; // the rows left were counted and named
    // How many rows, and an insert until its follower has run, use each
    // token; a token no longer used is forgotten by the writer.
    std::map<std::string, std::size_t> tokenUsers_;
    std::set<std::string> heldTokens_; // HoldKeys
    std::vector<std::string> unusedTokens_;
    // Of the writer thread alone (the lock of the keys for KeysKept).
    std::unique_ptr<RowJournal> writerJournal_;
    bool writerJournalFailed_ = false;
    // Written, their removal from the journal failed: tried again, first.
    std::vector<std::int64_t> unremoved_;
    std::chrono::steady_clock::time_point removalRetry_{};
    mutable std::mutex keysMutex_;
    struct DrawnKey {
        std::string key, home;
    };
    std::map<std::string, DrawnKey> keysOfTokens_;
    DbHandle handle_ = 0;
    ConnectionSettings attachedWith_;
    // The database attached last (DatabaseIdentity), under mutex_.
    std::string identity_;
    bool earlierHomesSaid_ = false;
    // The earlier run's rows by the database each was meant for.
    std::map<std::string, std::size_t> earlierHomes_;
    // Of the writer thread: the keys drawn before the database attached
    // was restored. An update naming one of them may find no row: it is
    // counted, and said when it does not.
    std::map<std::string, std::int64_t> keysBeforeRestore_;
    // Of the writer thread: each commit's key is the journal's identity (or,
    // without the journal, this run's) and its number. The commits whose
    // answer never came, not yet settled, keep their keys in the database;
    // those below prunedBelow_ are gone from it.
    const std::string runIdentity_;
    std::int64_t nextCommit_ = 1;
    std::multiset<std::int64_t> commitsOut_;
    std::int64_t prunedBelow_ = 0;
    std::string lastLoss_;
    std::thread journalThread_;
    std::thread writerThread_;
};

// Helpers of more than one of the road's files.
extern const char* const KeyOfRowOpening;

// The tokens whose keys a statement refers to, in order.
std::vector<std::string> tokensReferredBy(const std::string& statement);

std::string upperTrimmed(std::string text);

// A row the code that handed it on named (RowOfKey): one row, by its key.
bool namesRowByKey(const std::string& subject);

void nameRow(const RowJournal::Entry& row);

// A journal write's outcome, said: in the log each time it fails, on stderr
// at the first failure of a streak and when one passes again. `failing` is
// the streak of the thread that writes.
bool saidJournalWrite(bool written, RowJournal& journal, const char* what, bool& failing);

} // namespace db
