// A new run for every test: what a new process starts with. The run lives on
// the heap for the test's length; registrations that outlive it (the console
// handler's run, the failure cleanup) are dropped when it ends.
#pragma once

#include <memory>

#include "launcher/parent_end.h"
#include "launcher/run.h"

namespace fenzar {

class NewRun {
public:
    NewRun() : run_(std::make_unique<Run>()) {}
    ~NewRun() { forget_registered_run_for_testing(); }
    NewRun(const NewRun&) = delete;
    NewRun& operator=(const NewRun&) = delete;

    Run& operator*() { return *run_; }
    Run* operator->() { return run_.get(); }

private:
    std::unique_ptr<Run> run_;
};

}  // namespace fenzar
