// src/corvane/hil/intel/brenlow_group.cpp: the console child and all it starts, ended together.
#include "brenlow_group.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "common/py.hpp"

namespace corvane::brenlow {

ChildGroup::~ChildGroup() {
#ifdef _WIN32
    forget();
#endif
}

bool ChildGroup::leads(nb::handle proc) const {
    if (leader_ == 0) {
        return false;
    }
    nb::object pid = nb::getattr(proc, "pid", nb::none());
    return !pid.is_none() && pid.equal(nb::int_(leader_));
}

#ifdef _WIN32

// A job with "kill on close": terminating it, or closing its last handle (also when this
// process dies), ends every process in it. The child is put into it just after it started,
// before the wrapper has had time to start the program it wraps.
void ChildGroup::adopt(nb::handle proc) {
    forget();
    auto pid = static_cast<DWORD>(nb::cast<long>(proc.attr("pid")));
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, pid);
    bool joined =
        process != nullptr &&
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits) &&
        AssignProcessToJobObject(job, process);
    if (process != nullptr) {
        CloseHandle(process);
    }
    if (!joined) {
        CloseHandle(job);
        return;
    }
    job_ = job;
    leader_ = static_cast<long>(pid);
}

bool ChildGroup::terminate(bool) {
    if (job_ == nullptr) {
        return false;
    }
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (QueryInformationJobObject(job_, JobObjectBasicAccountingInformation, &info, sizeof info,
                                  nullptr) &&
        info.ActiveProcesses == 0) {
        return false;
    }
    return TerminateJobObject(job_, 1) != 0;
}

void ChildGroup::forget() {
    if (job_ != nullptr) {
        CloseHandle(job_);
        job_ = nullptr;
    }
    leader_ = 0;
}

#else

// started with start_new_session=True: the child leads a session and a group with its own id.
void ChildGroup::adopt(nb::handle proc) {
    leader_ = nb::cast<long>(proc.attr("pid"));
}

bool ChildGroup::terminate(bool hard) {
    if (leader_ == 0) {
        return false;
    }
    nb::object signal = py::attr("signal", hard ? "SIGKILL" : "SIGTERM");
    try {
        py::attr("os", "killpg")(leader_, signal);
    } catch (nb::python_error& error) {
        // ESRCH: nobody is left in the group. EPERM: what is left cannot be ended from here.
        if (!error.matches(PyExc_OSError)) {
            throw;
        }
        return false;
    }
    return true;
}

void ChildGroup::forget() {
    leader_ = 0;
}

#endif

}  // namespace corvane::brenlow
