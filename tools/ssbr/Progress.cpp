#include "Progress.h"

#include "errors/CurrentException.h"
#include "files/Directories.h"
#include "files/Paths.h"

#include <algorithm>
#include <cstdio>

namespace
{
    constexpr DWORD ShortestInterval = 250;

    bool IsLater(const FILETIME& time, const FILETIME& than)
    {
        return CompareFileTime(&time, &than) >= 0;
    }

    // Bytes in files created or written since `since`; a copy keeps its source's write time,
    // so the creation time counts too.
    void Measure(const String& longDirectory, const FILETIME& since, unsigned long long& bytes)
    {
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L"\\*").c_str(), &entry));
        if (!search)
            return;
        do
        {
            if (Directories::IsDotEntry(entry.cFileName))
                continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            {
                if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
                    Measure(longDirectory + L'\\' + entry.cFileName, since, bytes);
            }
            else if (IsLater(entry.ftCreationTime, since) || IsLater(entry.ftLastWriteTime, since))
                bytes += (static_cast<unsigned long long>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        } while (FindNextFileW(search.get(), &entry));
    }

    std::vector<String> TopLevelNames(const String& longDirectory)
    {
        std::vector<String> names;
        WIN32_FIND_DATAW entry;
        UniqueFindHandle search(FindFirstFileW((longDirectory + L"\\*").c_str(), &entry));
        if (!search)
            return names;
        do
            if (!Directories::IsDotEntry(entry.cFileName))
                names.push_back(entry.cFileName);
        while (FindNextFileW(search.get(), &entry));
        return names;
    }

    String Size(unsigned long long bytes)
    {
        if (bytes < 1024 * 1024)
            return Strings::Format(L"%.1f KiB", bytes / 1024.0);
        if (bytes < 1024ull * 1024 * 1024)
            return Strings::Format(L"%.1f MiB", bytes / 1048576.0);
        return Strings::Format(L"%.2f GiB", bytes / 1073741824.0);
    }
}

namespace Progress
{
    bool IsTerminal(HANDLE handle)
    {
        DWORD mode = 0;
        return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
               GetConsoleMode(handle, &mode);
    }

    size_t StageAtWork(const std::vector<Stage>& stages, const std::vector<String>& topLevelNames)
    {
        auto present = [&](const String& name) {
            return std::any_of(topLevelNames.begin(), topLevelNames.end(),
                               [&](const String& top) { return Strings::EqualsNoCase(top, name); });
        };
        size_t atWork = 0;
        for (size_t i = 0; i < stages.size(); ++i)
        {
            const Stage& stage = stages[i];
            const bool started = std::any_of(stage.signs.begin(), stage.signs.end(), present) ||
                                 (!stage.doneMark.empty() && present(stage.doneMark));
            if (!started)
                continue;
            atWork = i;
            if (!stage.doneMark.empty() && present(stage.doneMark) && i + 1 < stages.size())
                atWork = i + 1;
        }
        return atWork;
    }

    Line::Line(bool enabled, const String& verb, const String& directory, std::vector<Stage> stages)
        : m_verb(verb), m_directory(Directories::RemoveBackslash(Paths::ToLongPath(directory))),
          m_stages(std::move(stages))
    {
        if (!enabled)
            return;
        GetSystemTimeAsFileTime(&m_started);
        // File times on some volumes are coarse: a file written in the first instant still counts.
        ULARGE_INTEGER start;
        start.LowPart = m_started.dwLowDateTime;
        start.HighPart = m_started.dwHighDateTime;
        start.QuadPart -= 2 * 10000000ull;
        m_started.dwLowDateTime = start.LowPart;
        m_started.dwHighDateTime = start.HighPart;
        m_startTick = GetTickCount();
        m_stop.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!m_stop)
            return;   // no line is no failure of the work
        m_thread.reset(CreateThread(nullptr, 0, &Line::Run, this, 0, nullptr));
    }

    Line::~Line()
    {
        if (!m_thread)
            return;
        SetEvent(m_stop.get());
        WaitForSingleObject(m_thread.get(), INFINITE);
        if (m_shownLength > 0)
        {
            const std::string blank = "\r" + std::string(m_shownLength, ' ') + "\r";
            fwrite(blank.data(), 1, blank.size(), stderr);
            fflush(stderr);
        }
        if (m_failed)
        {
            fputs("ssbr: the progress line stopped: ", stderr);
            try
            {
                fputs(m_failure.empty() ? "Out of memory." : Strings::ToUtf8(m_failure).c_str(), stderr);
            }
            catch (...)
            {
                fputs("Out of memory.", stderr);
            }
            fputs("\n", stderr);
            fflush(stderr);
        }
    }

    // The thread's start routine: nothing it meets may end the process. A line that fails stops,
    // and the failure is reported when the line goes.
    DWORD WINAPI Line::Run(void* self) noexcept
    {
        auto& line = *static_cast<Line*>(self);
        if (!CurrentException::Guarded([&] { line.Update(); }, line.m_failure))
            line.m_failed = true;
        return 0;
    }

    void Line::Update()
    {
        // At once, so that short work shows its line too.
        DWORD wait = 0;
        while (WaitForSingleObject(m_stop.get(), wait) == WAIT_TIMEOUT)
        {
            const DWORD before = GetTickCount();
            Show();
            // A large tree takes a while to measure: never spend more than a third of the time on it.
            wait = std::max<DWORD>(ShortestInterval, 2 * (GetTickCount() - before));
        }
    }

    void Line::Show()
    {
        unsigned long long bytes = 0;
        Measure(m_directory, m_started, bytes);
        String text = Strings::Format(L"ssbr: %s ", m_verb.c_str());
        const DWORD seconds = (GetTickCount() - m_startTick) / 1000;
        text += Strings::Format(L"%lu:%02lu  %s written", seconds / 60, seconds % 60, Size(bytes).c_str());
        if (!m_stages.empty())
            text += L"  " + m_stages[StageAtWork(m_stages, TopLevelNames(m_directory))].name;
        const std::string utf8 = Strings::ToUtf8(text);
        std::string out = "\r" + utf8;
        if (utf8.size() < m_shownLength)
            out += std::string(m_shownLength - utf8.size(), ' ');
        m_shownLength = std::max(m_shownLength, utf8.size());
        fwrite(out.data(), 1, out.size(), stderr);
        fflush(stderr);
    }
}
