// The file calls of an unpacking, beside its decoding: the main thread
// decodes the records into batches and hands them to a writer thread, which
// creates the directories and files, writes and closes them in the archive's
// order. Where closes turn out slow (a virus scanner that reads each new file
// when its handle is closed), the writer hands them to a small pool of
// closing threads instead of waiting for each.
//
// Memory: batch_count batches of batch_size bytes while a payload is larger
// than one batch, beside the reader's window. Where they cannot be had, or
// no thread starts, the main thread writes each batch itself, in pieces of
// the fallback buffer, as the launcher did before it had threads.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "base/callback.h"
#include "base/interruption.h"
#include "base/wide.h"
#include "payload/attached_data.h"
#include "platform/platform.h"
#include "unpack/directories.h"

namespace fenzar {

inline constexpr size_t entry_path_capacity = attached_data_format::max_path_units;
inline constexpr size_t entry_name_capacity = attached_data_format::max_name_units;
// One WriteFile; records are cut into batches only at multiples of it.
inline constexpr uint32_t copy_piece_size = 32768;

// Told each record's name (relative, as stored) and size once its file is
// written and its close is done or under way, on the thread that wrote it;
// a close that fails afterwards fails the whole unpacking. None by default.
using EntryObserver = Callback<void(const char16_t* name, uint64_t size)>;

// Where a file's close happens.
enum class CloseMode : uint8_t {
    // On the writer until closes turn out slow, then on the pool.
    adaptive,
    // Always on the writer.
    inline_only,
    // Always on the pool (tests and benchmarks).
    pooled,
};

// A part of one record in a batch: its path when it opens the record's file,
// then data at data_offset, and whether the file is complete after it.
struct RecordPiece {
    uint64_t record;
    uint64_t record_size;
    uint32_t path_offset;
    // Where the record's name begins in its path, in units.
    uint32_t name_offset;
    uint32_t data_offset;
    uint32_t data_length;
    bool opens;
    bool closes;
};

struct RecordBatch {
    unsigned char* bytes = nullptr;
    uint32_t capacity = 0;
    uint32_t used = 0;
    RecordPiece* pieces = nullptr;
    uint32_t piece_capacity = 0;
    uint32_t piece_count = 0;
};

// The first call that failed, in the archive's order.
enum class FailedCall : uint8_t { none, open, write };

inline constexpr uint32_t batch_size = 2u << 20;
inline constexpr uint32_t batch_count = 3;
inline constexpr uint32_t batch_piece_capacity = 2048;
// A scanner reads the closes of different threads at the same time: eight
// closing threads took a 5 ms scanner's closes 14% faster than four.
inline constexpr uint32_t close_thread_count = 8;
// Files written and waiting for their close. More than a payload's usual
// run of small files, so that such a run never waits for the scanner; a
// file waiting costs its handle and 16 bytes here.
inline constexpr uint32_t close_queue_capacity = 1024;

class RecordWriter {
public:
    RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;
    // Only a run that ends before the process does (a test's) gets here;
    // ends whatever still runs.
    ~RecordWriter();

    // Main thread, before the first record: what the writing looks at.
    void begin(const Interruption* interruption, KnownDirectories* known_directories, EntryObserver observer,
               bool flush_files, CloseMode close_mode);
    // Main thread: the batch to fill.
    RecordBatch& filling() { return *filling_; }
    // Main thread: the filled batch goes to the writer (which starts with the
    // first), or is written here when there is none; returns with an empty
    // batch to fill. Afterwards failed() and the interruption may tell that
    // the unpacking must end.
    void hand_off();
    // Main thread: writes what is left and waits until every file is
    // written and closed; the threads have ended.
    void finish();
    // Main thread: stops at the call under way, waits for the threads and
    // every pending close, then closes the file left open. Again does nothing.
    void abandon();

    // A call failed; from then on the writer writes nothing more.
    bool failed() const { return failed_.load(); }
    FailedCall failed_call() const { return failure_call_; }
    // The system's error code of the failed write or close.
    uint32_t failure_code() const { return failure_code_; }
    // The full path of the record whose file could not be opened.
    const char16_t* failure_path() const { return failure_path_.data(); }
    // Whether closes went to the pool (for tests and benchmarks).
    bool closes_pooled() const { return pool_used_; }

private:
    static void run_writer(void* writer);
    static void run_closer(void* writer);
    void write_batch(RecordBatch& batch);
    bool write_piece(const RecordPiece& piece, const unsigned char* bytes);
    bool close_written_file(uint64_t record);
    bool should_stop() const;
    void fail(FailedCall call, uint64_t record, uint32_t code, const char16_t* path);
    bool start_writer();
    void end_threads();
    void judge_closes(int64_t close_ticks);
    bool start_pool();
    void close_on_pool(platform::FileHandle file, uint64_t record);
    void drain_pool();

    const Interruption* interruption_ = nullptr;
    KnownDirectories* known_directories_ = nullptr;
    EntryObserver observer_;
    bool flush_files_ = false;
    CloseMode close_mode_ = CloseMode::adaptive;

    // The batches; only the fallback one until a second batch is needed.
    RecordBatch batches_[batch_count];
    unsigned char* batch_memory_ = nullptr;
    bool batches_tried_ = false;
    RecordBatch fallback_;
    alignas(8) unsigned char fallback_bytes_[copy_piece_size + 2 * entry_path_capacity + 2];
    RecordPiece fallback_pieces_[4];
    RecordBatch* filling_ = &fallback_;
    // What the main thread wrote itself before it starts the writer.
    uint64_t written_here_ = 0;

    // Between the main thread and the writer, under lock_.
    std::mutex lock_;
    std::condition_variable batch_queued_;
    std::condition_variable batch_written_;
    RecordBatch* queue_[batch_count] = {};
    uint32_t queue_head_ = 0;
    uint32_t queued_ = 0;
    RecordBatch* free_[batch_count] = {};
    uint32_t free_count_ = 0;
    bool ending_ = false;
    platform::ThreadHandle writer_thread_{nullptr};
    bool writer_tried_ = false;

    // The writer's own (the main thread's after the writer has ended).
    platform::FileHandle file_{nullptr};
    uint64_t file_size_ = 0;
    WideBuffer<entry_name_capacity> file_name_;
    std::atomic<bool> stop_{false};
    int64_t close_ticks_ = 0;
    int64_t file_ticks_ = 0;
    uint32_t closes_timed_ = 0;
    bool use_pool_ = false;

    // The first failure, under failure_lock_.
    std::mutex failure_lock_;
    std::atomic<bool> failed_{false};
    FailedCall failure_call_ = FailedCall::none;
    uint64_t failure_record_ = 0;
    uint32_t failure_code_ = 0;
    WideBuffer<entry_path_capacity> failure_path_;

    // The closing pool, under pool_lock_.
    std::mutex pool_lock_;
    std::condition_variable close_queued_;
    std::condition_variable close_taken_;
    platform::FileHandle close_files_[close_queue_capacity] = {};
    uint64_t close_records_[close_queue_capacity] = {};
    uint32_t close_head_ = 0;
    uint32_t closes_queued_ = 0;
    uint32_t closers_idle_ = 0;
    bool writer_waiting_for_room_ = false;
    bool pool_ending_ = false;
    platform::ThreadHandle pool_threads_[close_thread_count] = {};
    uint32_t pool_started_ = 0;
    bool pool_tried_ = false;
    bool pool_used_ = false;
};

}  // namespace fenzar
