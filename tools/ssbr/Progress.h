#pragma once
// The status line ssbr keeps on a terminal while the module works: elapsed time, bytes written
// below the target, and the component at work as judged from what appears there.

#include "handles/Handles.h"
#include "text/Strings.h"

#include <vector>

namespace Progress
{
    // A console (not a file, pipe or the NUL device).
    bool IsTerminal(HANDLE handle);

    // One component of the run, with the top-level names that show it has started and the
    // file that shows it is done (null when none does).
    struct Stage
    {
        String name;
        std::vector<String> signs;
        String doneMark;
    };

    // The stage judged at work from the top-level names present: after the last stage with a sign,
    // or the one after it when its done mark is there too. Stages in run order.
    size_t StageAtWork(const std::vector<Stage>& stages, const std::vector<String>& topLevelNames);

    class Line
    {
    public:
        // Updates the line on stderr from a thread of its own, at most four times a second;
        // counts only files written since it started. Does nothing unless enabled.
        Line(bool enabled, const String& verb, const String& directory, std::vector<Stage> stages);
        // Stops the thread and erases the line; when the thread stopped on a failure of its own
        // (the work goes on without a line), says so on stderr.
        ~Line();
        Line(const Line&) = delete;
        Line& operator=(const Line&) = delete;

    private:
        static DWORD WINAPI Run(void* self) noexcept;
        void Update();
        void Show();

        String m_verb;
        String m_directory;
        std::vector<Stage> m_stages;
        FILETIME m_started = {};
        DWORD m_startTick = 0;
        size_t m_shownLength = 0;
        bool m_failed = false;   // written by the thread, read once it has ended
        String m_failure;
        UniqueKernelHandle m_stop;
        UniqueKernelHandle m_thread;
    };
}
