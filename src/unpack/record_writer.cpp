#include "unpack/record_writer.h"

#include <cstdlib>
#include <cstring>

namespace fenzar {

namespace {

// A payload this small is written by the main thread alone: a thread would
// cost more than it saves.
constexpr uint64_t written_here_limit = 1u << 20;

// Closes are judged slow once they take longer than the writer's other file
// calls together, over this many files or more. Under Wine a close costs
// about what a creation does (a round trip to the wineserver each; about a
// third of the calls' time), where a pool only adds threads queueing at the
// same server; with a simulated scanner (2 ms + 1 ms per MB) closes take
// three quarters. On Windows a close without a scanner is far cheaper than a
// creation, with one it costs milliseconds.
constexpr uint32_t closes_before_judging = 8;

void empty(RecordBatch& batch) {
    batch.used = 0;
    batch.piece_count = 0;
}

int64_t now() {
    int64_t counter = 0;
    platform::query_performance_counter(&counter);
    return counter;
}

}  // namespace

RecordWriter::RecordWriter() {
    fallback_.bytes = fallback_bytes_;
    fallback_.capacity = sizeof fallback_bytes_;
    fallback_.pieces = fallback_pieces_;
    fallback_.piece_capacity = sizeof fallback_pieces_ / sizeof fallback_pieces_[0];
}

RecordWriter::~RecordWriter() {
    abandon();
    platform::free_memory(batch_memory_);
}

void RecordWriter::begin(const Interruption* interruption, KnownDirectories* known_directories, EntryObserver observer,
                         bool flush_files, CloseMode close_mode) {
    interruption_ = interruption;
    known_directories_ = known_directories;
    observer_ = observer;
    flush_files_ = flush_files;
    close_mode_ = close_mode;
    empty(fallback_);
    filling_ = &fallback_;
    written_here_ = 0;
    queue_head_ = 0;
    queued_ = 0;
    free_count_ = 0;
    ending_ = false;
    writer_tried_ = false;
    file_ = {nullptr};
    stop_.store(false);
    close_ticks_ = 0;
    file_ticks_ = 0;
    closes_timed_ = 0;
    use_pool_ = false;
    failed_.store(false);
    failure_call_ = FailedCall::none;
    failure_code_ = 0;
    failure_path_.units[0] = 0;
    close_head_ = 0;
    closes_queued_ = 0;
    closers_idle_ = 0;
    writer_waiting_for_room_ = false;
    pool_ending_ = false;
    pool_tried_ = false;
    pool_used_ = false;
}

bool RecordWriter::start_writer() {
    writer_tried_ = true;
    if (!batches_tried_) {
        batches_tried_ = true;
        size_t per_batch = batch_size + batch_piece_capacity * sizeof(RecordPiece);
        batch_memory_ = static_cast<unsigned char*>(platform::allocate_memory(per_batch * batch_count));
        if (batch_memory_ == nullptr) return false;
        for (uint32_t i = 0; i < batch_count; ++i) {
            unsigned char* at = batch_memory_ + per_batch * i;
            batches_[i].pieces = reinterpret_cast<RecordPiece*>(at);
            batches_[i].piece_capacity = batch_piece_capacity;
            batches_[i].bytes = at + batch_piece_capacity * sizeof(RecordPiece);
            batches_[i].capacity = batch_size;
        }
    }
    if (batch_memory_ == nullptr) return false;
    writer_thread_ = platform::start_thread(run_writer, this);
    if (!writer_thread_.valid()) return false;
    for (uint32_t i = 0; i < batch_count; ++i) empty(batches_[i]);
    std::lock_guard<std::mutex> guard(lock_);
    for (uint32_t i = 1; i < batch_count; ++i) free_[free_count_++] = &batches_[i];
    filling_ = &batches_[0];
    return true;
}

void RecordWriter::hand_off() {
    if (filling_->piece_count == 0) return;
    if (!writer_thread_.valid()) {
        written_here_ += filling_->used;
        write_batch(*filling_);
        empty(*filling_);
        if (written_here_ >= written_here_limit && !writer_tried_ && !should_stop()) start_writer();
        return;
    }
    std::unique_lock<std::mutex> guard(lock_);
    queue_[(queue_head_ + queued_) % batch_count] = filling_;
    ++queued_;
    batch_queued_.notify_one();
    while (free_count_ == 0) batch_written_.wait(guard);
    filling_ = free_[--free_count_];
}

void RecordWriter::finish() {
    if (writer_thread_.valid()) {
        if (filling_->piece_count > 0) {
            std::lock_guard<std::mutex> guard(lock_);
            queue_[(queue_head_ + queued_) % batch_count] = filling_;
            ++queued_;
        }
        end_threads();
    } else if (filling_->piece_count > 0) {
        write_batch(*filling_);
    }
    empty(fallback_);
    filling_ = &fallback_;
    drain_pool();
}

void RecordWriter::abandon() {
    stop_.store(true);
    end_threads();
    drain_pool();
    empty(fallback_);
    filling_ = &fallback_;
    if (file_.valid()) platform::close_file(file_);
    file_ = {nullptr};
}

void RecordWriter::end_threads() {
    if (!writer_thread_.valid()) return;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ending_ = true;
    }
    batch_queued_.notify_one();
    platform::join_thread(writer_thread_);
    writer_thread_ = {nullptr};
}

// Takes the batches in the order they came; once it should stop, it goes
// on taking them without writing, so that the main thread never waits for
// a batch that will not come back.
void RecordWriter::run_writer(void* context) {
    auto& writer = *static_cast<RecordWriter*>(context);
    std::unique_lock<std::mutex> guard(writer.lock_);
    for (;;) {
        while (writer.queued_ == 0 && !writer.ending_) writer.batch_queued_.wait(guard);
        if (writer.queued_ == 0) break;
        RecordBatch* batch = writer.queue_[writer.queue_head_];
        guard.unlock();
        writer.write_batch(*batch);
        empty(*batch);
        guard.lock();
        writer.queue_head_ = (writer.queue_head_ + 1) % batch_count;
        --writer.queued_;
        writer.free_[writer.free_count_++] = batch;
        writer.batch_written_.notify_one();
    }
}

bool RecordWriter::should_stop() const {
    return stop_.load() || failed_.load() || (interruption_ != nullptr && interruption_->has_begun());
}

void RecordWriter::write_batch(RecordBatch& batch) {
    for (uint32_t i = 0; i < batch.piece_count; ++i) {
        if (should_stop()) return;
        if (!write_piece(batch.pieces[i], batch.bytes)) return;
    }
}

bool RecordWriter::write_piece(const RecordPiece& piece, const unsigned char* bytes) {
    int64_t started = now();
    if (piece.opens) {
        const auto* path = reinterpret_cast<const char16_t*>(bytes + piece.path_offset);
        create_containing_directories(*known_directories_, path);
        started = now();
        file_ = platform::create_file_for_writing(path);
        if (!file_.valid()) {
            fail(FailedCall::open, piece.record, platform::last_error(), path);
            return false;
        }
        file_size_ = piece.record_size;
        if (observer_.is_set()) copy_wide_bounded(file_name_, path + piece.name_offset);
    }
    for (uint32_t done = 0; done < piece.data_length;) {
        if (should_stop()) return false;
        uint32_t left = piece.data_length - done;
        uint32_t length = left < copy_piece_size ? left : copy_piece_size;
        if (!platform::write_file(file_, bytes + piece.data_offset + done, length)) {
            fail(FailedCall::write, piece.record, platform::last_error(), nullptr);
            return false;
        }
        done += length;
    }
    if (!piece.closes) {
        file_ticks_ += now() - started;
        return true;
    }
    if (flush_files_ && !platform::flush_file(file_)) {
        fail(FailedCall::write, piece.record, platform::last_error(), nullptr);
        return false;
    }
    file_ticks_ += now() - started;
    return close_written_file(piece.record);
}

// A write that the system accepted may still fail at the close (a full
// network share, a disk that fills late): the file is then not what the
// record holds.
bool RecordWriter::close_written_file(uint64_t record) {
    platform::FileHandle file = file_;
    file_ = {nullptr};
    if (use_pool_ || (close_mode_ == CloseMode::pooled && start_pool())) {
        use_pool_ = true;
        close_on_pool(file, record);
    } else {
        int64_t started = now();
        if (!platform::close_file(file)) {
            fail(FailedCall::write, record, platform::last_error(), nullptr);
            return false;
        }
        judge_closes(now() - started);
    }
    if (observer_.is_set()) observer_(file_name_.data(), file_size_);
    return true;
}

void RecordWriter::judge_closes(int64_t close_ticks) {
    close_ticks_ += close_ticks;
    ++closes_timed_;
    if (close_mode_ != CloseMode::adaptive || closes_timed_ < closes_before_judging) return;
    if (close_ticks_ <= file_ticks_) return;
    // Judged once: where no pool starts, closes stay here.
    close_mode_ = CloseMode::inline_only;
    use_pool_ = start_pool();
}

// The record decides which failure is reported: a close on the pool may
// fail after a later record's call did.
void RecordWriter::fail(FailedCall call, uint64_t record, uint32_t code, const char16_t* path) {
    std::lock_guard<std::mutex> guard(failure_lock_);
    if (failed_.load() && failure_record_ <= record) return;
    failure_call_ = call;
    failure_record_ = record;
    failure_code_ = code;
    failure_path_.units[0] = 0;
    if (path != nullptr) copy_wide_bounded(failure_path_, path);
    failed_.store(true);
}

bool RecordWriter::start_pool() {
    if (pool_tried_) return pool_started_ > 0;
    pool_tried_ = true;
    for (uint32_t i = 0; i < close_thread_count; ++i) {
        platform::ThreadHandle thread = platform::start_thread(run_closer, this);
        if (!thread.valid()) break;
        pool_threads_[pool_started_++] = thread;
    }
    pool_used_ = pool_started_ > 0;
    return pool_used_;
}

void RecordWriter::close_on_pool(platform::FileHandle file, uint64_t record) {
    std::unique_lock<std::mutex> guard(pool_lock_);
    while (closes_queued_ == close_queue_capacity) {
        writer_waiting_for_room_ = true;
        close_taken_.wait(guard);
    }
    uint32_t at = (close_head_ + closes_queued_) % close_queue_capacity;
    close_files_[at] = file;
    close_records_[at] = record;
    ++closes_queued_;
    // A wake-up is a round trip to the wineserver under Wine: only for a
    // closer that sleeps, never for one that will look at the queue anyway,
    // and after the lock is let go, so that the woken closer does not wait
    // for it at once.
    bool wake = closers_idle_ > 0;
    guard.unlock();
    if (wake) close_queued_.notify_one();
}

// Every file handed to the pool is closed, also after a failure or on an
// interruption: nothing may stay open when the directory is removed.
void RecordWriter::run_closer(void* context) {
    auto& writer = *static_cast<RecordWriter*>(context);
    std::unique_lock<std::mutex> guard(writer.pool_lock_);
    for (;;) {
        while (writer.closes_queued_ == 0 && !writer.pool_ending_) {
            ++writer.closers_idle_;
            writer.close_queued_.wait(guard);
            --writer.closers_idle_;
        }
        if (writer.closes_queued_ == 0) break;
        platform::FileHandle file = writer.close_files_[writer.close_head_];
        uint64_t record = writer.close_records_[writer.close_head_];
        writer.close_head_ = (writer.close_head_ + 1) % close_queue_capacity;
        --writer.closes_queued_;
        if (writer.writer_waiting_for_room_) {
            writer.writer_waiting_for_room_ = false;
            writer.close_taken_.notify_one();
        }
        guard.unlock();
        if (!platform::close_file(file)) writer.fail(FailedCall::write, record, platform::last_error(), nullptr);
        guard.lock();
    }
}

void RecordWriter::drain_pool() {
    if (pool_started_ == 0) return;
    {
        std::lock_guard<std::mutex> guard(pool_lock_);
        pool_ending_ = true;
    }
    close_queued_.notify_all();
    for (uint32_t i = 0; i < pool_started_; ++i) platform::join_thread(pool_threads_[i]);
    pool_started_ = 0;
}

}  // namespace fenzar
