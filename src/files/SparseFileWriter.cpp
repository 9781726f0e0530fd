#include "files/SparseFileWriter.h"

#include "files/Internal.h"

#include <winioctl.h>

#include <algorithm>
#include <cstring>

namespace
{
    // Zeros are judged per block at fixed file offsets: the unit in which NTFS gives back the
    // clusters of a sparse file, and a whole number of the backup APIs' reads.
    const DWORD SparseBlock = 64 * 1024;

    // Eight words at a time: the scan must cost far less than the write it saves.
    bool IsAllZero(const BYTE* data, DWORD size)
    {
        DWORD at = 0;
        for (; at + 64 <= size; at += 64)
        {
            ULONGLONG words[8];
            std::memcpy(words, data + at, sizeof words);
            if ((words[0] | words[1] | words[2] | words[3] | words[4] | words[5] | words[6] | words[7]) != 0)
                return false;
        }
        for (; at < size; ++at)
            if (data[at] != 0)
                return false;
        return true;
    }

    bool MoveFilePointer(HANDLE file, ULONGLONG offset)
    {
        LARGE_INTEGER distance;
        distance.QuadPart = static_cast<LONGLONG>(offset);
        return SetFilePointerEx(file, distance, nullptr, FILE_BEGIN) != FALSE;
    }
}

bool SparseFileWriter::Write(const void* data, DWORD size)
{
    const BYTE* const bytes = static_cast<const BYTE*>(data);
    // Runs of non-zero blocks go out in one write each.
    DWORD pending = 0;
    for (DWORD done = 0; done < size;)
    {
        const DWORD piece = static_cast<DWORD>(
            std::min<ULONGLONG>(size - done, SparseBlock - (m_length + done) % SparseBlock));
        if (IsAllZero(bytes + done, piece))
        {
            if (pending < done && !WriteAt(m_length + pending, bytes + pending, done - pending))
                return false;
            pending = done + piece;
            if (piece == SparseBlock && !m_markedSparse)
            {
                // Refused where the file system has no sparse files: the skipped blocks then take
                // disk as zeros, which is all the marking changes.
                DWORD returned = 0;
                DeviceIoControl(m_file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
                m_markedSparse = true;
            }
        }
        done += piece;
    }
    if (pending < size && !WriteAt(m_length + pending, bytes + pending, size - pending))
        return false;
    m_length += size;
    return true;
}

bool SparseFileWriter::Finish()
{
    // A file that ends in skipped blocks is only as long as its last write until it is extended.
    if (m_pointer == m_length)
        return true;
    if (!MoveFilePointer(m_file, m_length) || !SetEndOfFile(m_file))
        return false;
    m_pointer = m_length;
    return true;
}

bool SparseFileWriter::WriteAt(ULONGLONG offset, const BYTE* data, DWORD size)
{
    if (offset != m_pointer)
    {
        if (!MoveFilePointer(m_file, offset))
            return false;
        m_pointer = offset;
    }
    DWORD written = 0;
    const bool whole = FilesInternal::WriteWhole(m_file, data, size, written);
    m_pointer += written;
    return whole;
}
