#pragma once

#include <signal.h>

#include <map>
#include <string>

#include "comm-serd/TakMutex.h"
#include "comm-serd/TakThreadAnnotations.h"
#include "log/TakNanolog.h"

// The logging front end: installs the fatal-signal handlers, cleans up old log files and creates
// the file logger, with the console echo on standard output when asked (written by the logger's
// writer thread, see NanoLogger and ConsoleWriter).
class TakLog {
public:
    static TakLog& instance();

    // The log files go into dir (a missing final "/" is added). Problems with the directory are
    // reported on standard error; they never end the process, and the console echo keeps working.
    // Sets the level to keep everything (see TakNanolog::setLevel).
    void initLog(bool const& echo, std::string const& dir);
    // Stops the file logger after it has written every queued record (and the echo what its
    // reader takes within a second). Records logged later are neither written nor echoed.
    void shutdownLog();
    // Starts the next log file (SIGHUP); the writer logs that in the new file.
    void rollLogFile();
    // Name of a handled signal ("SIGTERM"), or the number as text.
    std::string signalName(int sig) const;
    // Path of the file the logger writes now; empty without a file logger.
    std::string currentLogFile();

    // The fatal-signal handler: saves the log, restores the previous action and raises the
    // signal again, so that the previous action (as a rule the default) ends the process when
    // the handler returns, whether the signal came from a fault or from another process.
    static void sigHander(int sig);

    TakLog(TakLog const&) = delete;
    TakLog& operator=(TakLog const&) = delete;

private:
    TakLog();
    static void onSignal(int sig, siginfo_t* info, void* context);

    TakMutex m_mutex;  // guards initLog
    int m_keepFiles TAK_GUARDED_BY(m_mutex) = 30;
    bool m_fileLogging TAK_GUARDED_BY(m_mutex) = false;
    bool m_echo TAK_GUARDED_BY(m_mutex) = false;
    // Filled by initLog under m_mutex, read by the fatal-signal handler, which cannot lock.
    std::map<int, struct sigaction> m_savedActions;
    std::map<int, std::string> m_signalNames;
};
