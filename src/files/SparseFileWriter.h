#pragma once

#include <windows.h>

// Writes a new, empty file front to back without writing the blocks that hold only zeros (most
// of a database's free pages): the file pointer moves past them and Finish sets the length, so
// they read back as zeros. The file is marked sparse at its first skipped block, so that they
// take no disk; a file system that refuses keeps a plain file with the same bytes. The handle
// needs write access and stays the caller's. Write and Finish return false with the failing
// call's error as the thread's last error; the file is complete only after Finish.
class SparseFileWriter
{
public:
    explicit SparseFileWriter(HANDLE file) : m_file(file) {}
    bool Write(const void* data, DWORD size);
    bool Finish();

private:
    bool WriteAt(ULONGLONG offset, const BYTE* data, DWORD size);

    HANDLE m_file;
    ULONGLONG m_length = 0;  // bytes handed in
    ULONGLONG m_pointer = 0; // where the file pointer stands
    bool m_markedSparse = false;
};
