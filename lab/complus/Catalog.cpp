// A COM+ catalog for lab machines. The catalog is the key tree below CatalogKey (applications
// with their components, loaded from lab/registry/complus.reg); BackupREGDB writes it to a text
// file that ends with a checksum, and RestoreREGDB reads and checks the whole file (its limits,
// its checksum, and that it describes one tree) and writes it once beside the catalog before it
// replaces the tree. A missing or unreadable file answers COMADMIN_E_REGDB_NOTOPEN, a damaged one
// COMADMIN_E_REGFILE_CORRUPT, a catalog that cannot be read or written COMADMIN_E_REGDB_SYSTEMERR.
// Every other method answers E_NOTIMPL.

#include <windows.h>
#include <comadmin.h>
#include <shlwapi.h>

#include <algorithm>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace
{
    const wchar_t* const CatalogKey = L"Software\\Harborline Lab\\COM+ Catalog";
    const char* const Header = "LAB COM+ REGDB 1";

    const CLSID CatalogClass = {0xf618c514, 0xdfb8, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};
    const IID CatalogInterface = {0xdd662187, 0xdfc2, 0x11d1, {0xa2, 0xcf, 0x00, 0x80, 0x5f, 0xc7, 0x92, 0x35}};

    LONG g_objects = 0;

    // One line of the file: a key ('K', path) or a value ('S' string, 'D' number) of a key.
    struct Entry
    {
        char kind;
        std::wstring path;
        std::wstring name;
        std::wstring data;
    };

    std::string Utf8(const std::wstring& text)
    {
        if (text.empty())
            return std::string();
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        std::string result(size, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
        return result;
    }

    bool FromUtf8(const std::string& text, std::wstring& result)
    {
        result.clear();
        if (text.empty())
            return true;
        const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
        if (size == 0)
            return false;
        result.assign(size, L'\0');
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &result[0], size);
        return true;
    }

    // Tabs, line ends and '%' inside a field are written as %XX.
    std::string Escape(const std::wstring& field)
    {
        std::string out;
        for (char c : Utf8(field))
        {
            if (c == '\t' || c == '\n' || c == '\r' || c == '%')
            {
                char code[4];
                wsprintfA(code, "%%%02X", static_cast<unsigned char>(c));
                out += code;
            }
            else
                out += c;
        }
        return out;
    }

    bool Unescape(const std::string& field, std::wstring& result)
    {
        std::string raw;
        for (size_t i = 0; i < field.size(); ++i)
        {
            if (field[i] != '%')
            {
                raw += field[i];
                continue;
            }
            if (i + 2 >= field.size() || !isxdigit(static_cast<unsigned char>(field[i + 1])) ||
                !isxdigit(static_cast<unsigned char>(field[i + 2])))
                return false;
            raw += static_cast<char>(std::stoi(field.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
        return FromUtf8(raw, result);
    }

    unsigned long Checksum(const std::string& text)
    {
        unsigned long hash = 2166136261ul;
        for (unsigned char c : text)
            hash = ((hash ^ c) * 16777619ul) & 0xFFFFFFFFul;
        return hash;
    }

    bool ReadTree(HKEY key, const std::wstring& path, std::vector<Entry>& entries)
    {
        entries.push_back({'K', path, L"", L""});
        std::vector<wchar_t> name(16384);
        std::vector<BYTE> data(65536);
        for (DWORD index = 0;; ++index)
        {
            DWORD nameLength = static_cast<DWORD>(name.size());
            DWORD type = 0;
            DWORD dataSize = static_cast<DWORD>(data.size() - sizeof(wchar_t));
            const LONG result = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != ERROR_SUCCESS)
                return false;
            if (type == REG_SZ)
            {
                data[dataSize] = 0;
                data[dataSize + 1] = 0;
                entries.push_back({'S', path, name.data(), reinterpret_cast<const wchar_t*>(data.data())});
            }
            else if (type == REG_DWORD && dataSize == sizeof(DWORD))
                entries.push_back({'D', path, name.data(), std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()))});
            else
                return false;   // the catalog keeps nothing else
        }
        for (DWORD index = 0;; ++index)
        {
            DWORD nameLength = 256;
            const LONG result = RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                return true;
            HKEY child;
            if (result != ERROR_SUCCESS || RegOpenKeyExW(key, name.data(), 0, KEY_READ, &child) != ERROR_SUCCESS)
                return false;
            const std::wstring childName = name.data();
            const bool read = ReadTree(child, path.empty() ? childName : path + L"\\" + childName, entries);
            RegCloseKey(child);
            if (!read)
                return false;
        }
    }

    HRESULT Backup(const wchar_t* file)
    {
        HKEY catalog;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, CatalogKey, 0, KEY_READ, &catalog) != ERROR_SUCCESS)
            return COMADMIN_E_REGDB_SYSTEMERR;
        std::vector<Entry> entries;
        const bool read = ReadTree(catalog, L"", entries);
        RegCloseKey(catalog);
        if (!read)
            return COMADMIN_E_REGDB_SYSTEMERR;

        std::string text = std::string(Header) + "\n";
        for (const Entry& entry : entries)
            text += std::string(1, entry.kind) + "\t" + Escape(entry.path) + "\t" + Escape(entry.name) + "\t" +
                    Escape(entry.data) + "\n";
        char end[32];
        wsprintfA(end, "END %08lX\n", Checksum(text));
        text += end;

        HANDLE out = CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE)
            return COMADMIN_E_REGDB_SYSTEMERR;
        DWORD written = 0;
        const BOOL ok = WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(out);
        return ok && written == text.size() ? S_OK : COMADMIN_E_REGDB_SYSTEMERR;
    }

    // Limits of what a file may hold, checked before anything read is used: the whole file, one
    // line, the lines, a key's depth below the catalog, a key name and a value name (the
    // registry's own limits), a string value.
    const DWORD LargestFile = 256 * 1024 * 1024;
    const size_t LongestLine = 1024 * 1024;
    const size_t MostEntries = 100000;
    const size_t DeepestKey = 16;
    const size_t LongestKeyName = 255;
    const size_t LongestValueName = 16383;
    const size_t LongestString = 64 * 1024;

    std::wstring Lower(std::wstring text)
    {
        if (!text.empty())
            CharLowerBuffW(&text[0], static_cast<DWORD>(text.size()));
        return text;
    }

    // A key path below the catalog: parts of 1 to 255 characters, none "." or "..", and no NUL.
    bool IsKeyPath(const std::wstring& path)
    {
        size_t depth = 0;
        for (size_t from = 0;; ++depth)
        {
            const size_t stop = std::min(path.find(L'\\', from), path.size());
            const std::wstring part = path.substr(from, stop - from);
            if (part.empty() || part.size() > LongestKeyName || part == L"." || part == L".." ||
                part.find(L'\0') != std::wstring::npos || depth >= DeepestKey)
                return false;
            if (stop == path.size())
                return true;
            from = stop + 1;
        }
    }

    // A number a REG_DWORD holds, in decimal as Backup writes it.
    bool IsNumber(const std::wstring& text)
    {
        if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
            return false;
        return text.size() < 10 || text <= L"4294967295";
    }

    // The entries form the tree Backup writes: the catalog's own key first, each key once and
    // after its parent, each value once, of a key written before it.
    bool IsTree(const std::vector<Entry>& entries)
    {
        if (entries.empty() || entries[0].kind != 'K' || !entries[0].path.empty() || !entries[0].name.empty() ||
            !entries[0].data.empty())
            return false;
        std::set<std::wstring> keys{L""};
        std::set<std::wstring> values;
        for (size_t i = 1; i < entries.size(); ++i)
        {
            const Entry& entry = entries[i];
            const std::wstring path = Lower(entry.path);
            if (entry.kind == 'K')
            {
                const size_t slash = path.rfind(L'\\');
                if (!entry.name.empty() || !entry.data.empty() || !IsKeyPath(entry.path) ||
                    keys.count(slash == std::wstring::npos ? L"" : path.substr(0, slash)) == 0 || !keys.insert(path).second)
                    return false;
                continue;
            }
            if (keys.count(path) == 0 || entry.name.size() > LongestValueName || entry.name.find(L'\0') != std::wstring::npos ||
                !values.insert(path + L'\0' + Lower(entry.name)).second)
                return false;
            if (entry.kind == 'D' ? !IsNumber(entry.data)
                                  : entry.data.size() > LongestString || entry.data.find(L'\0') != std::wstring::npos)
                return false;
        }
        return true;
    }

    // The whole file is read and checked before the catalog is touched.
    HRESULT Parse(const wchar_t* file, std::vector<Entry>& entries)
    {
        HANDLE in = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (in == INVALID_HANDLE_VALUE)
            return COMADMIN_E_REGDB_NOTOPEN;
        DWORD high = 0;
        const DWORD low = GetFileSize(in, &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        {
            CloseHandle(in);
            return COMADMIN_E_REGDB_NOTOPEN;
        }
        if (high != 0 || low > LargestFile)
        {
            CloseHandle(in);
            return COMADMIN_E_REGFILE_CORRUPT;
        }
        std::string text;
        char buffer[65536];
        DWORD got = 0;
        BOOL ok;
        while ((ok = ReadFile(in, buffer, sizeof buffer, &got, nullptr)) && got > 0 && text.size() <= LargestFile)
            text.append(buffer, got);
        CloseHandle(in);
        if (!ok)
            return COMADMIN_E_REGDB_NOTOPEN;
        if (text.size() > LargestFile)
            return COMADMIN_E_REGFILE_CORRUPT;

        const size_t endLine = text.rfind("END ");
        if (text.compare(0, strlen(Header) + 1, std::string(Header) + "\n") != 0 || endLine == std::string::npos ||
            endLine < strlen(Header) + 1 || text[endLine - 1] != '\n')
            return COMADMIN_E_REGFILE_CORRUPT;
        char expected[32];
        wsprintfA(expected, "END %08lX\n", Checksum(text.substr(0, endLine)));
        if (text.compare(endLine, std::string::npos, expected) != 0)
            return COMADMIN_E_REGFILE_CORRUPT;

        size_t start = strlen(Header) + 1;
        while (start < endLine)
        {
            const size_t stop = text.find('\n', start);
            if (stop - start > LongestLine || entries.size() >= MostEntries)
                return COMADMIN_E_REGFILE_CORRUPT;
            const std::string line = text.substr(start, stop - start);
            start = stop + 1;
            std::vector<std::string> fields;
            size_t from = 0;
            for (size_t tab; (tab = line.find('\t', from)) != std::string::npos && fields.size() < 4; from = tab + 1)
                fields.push_back(line.substr(from, tab - from));
            fields.push_back(line.substr(from));
            Entry entry;
            if (fields.size() != 4 || fields[0].size() != 1 || !Unescape(fields[1], entry.path) ||
                !Unescape(fields[2], entry.name) || !Unescape(fields[3], entry.data))
                return COMADMIN_E_REGFILE_CORRUPT;
            entry.kind = fields[0][0];
            if (entry.kind != 'K' && entry.kind != 'S' && entry.kind != 'D')
                return COMADMIN_E_REGFILE_CORRUPT;
            entries.push_back(entry);
        }
        return IsTree(entries) ? S_OK : COMADMIN_E_REGFILE_CORRUPT;
    }

    // Writes the entries as the tree below root (which must not exist). False on the first
    // failure, with the tree part written.
    bool WriteTree(const std::wstring& root, const std::vector<Entry>& entries)
    {
        for (const Entry& entry : entries)
        {
            const std::wstring path = entry.path.empty() ? root : root + L"\\" + entry.path;
            HKEY key;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
                ERROR_SUCCESS)
                return false;
            LONG result = ERROR_SUCCESS;
            if (entry.kind == 'S')
                result = RegSetValueExW(key, entry.name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(entry.data.c_str()),
                                        static_cast<DWORD>((entry.data.size() + 1) * sizeof(wchar_t)));
            else if (entry.kind == 'D')
            {
                const DWORD number = wcstoul(entry.data.c_str(), nullptr, 10);
                result = RegSetValueExW(key, entry.name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                        sizeof number);
            }
            RegCloseKey(key);
            if (result != ERROR_SUCCESS)
                return false;
        }
        return true;
    }

    bool DeleteTree(const std::wstring& root)
    {
        const LONG deleted = SHDeleteKeyW(HKEY_LOCAL_MACHINE, root.c_str());
        return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
    }

    // The live catalog changes only once the new tree is read whole, checked, and written once
    // beside it (so the registry is known to take every entry); the old tree is held in memory
    // and written back if the swap itself fails.
    HRESULT Restore(const wchar_t* file)
    {
        std::vector<Entry> entries;
        const HRESULT parsed = Parse(file, entries);
        if (FAILED(parsed))
            return parsed;

        const std::wstring trial = std::wstring(CatalogKey) + L" (restoring)";
        const bool written = DeleteTree(trial) && WriteTree(trial, entries);
        if (!DeleteTree(trial) || !written)
            return COMADMIN_E_REGDB_SYSTEMERR;

        std::vector<Entry> previous;
        HKEY catalog;
        const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, CatalogKey, 0, KEY_READ, &catalog);
        if (opened == ERROR_SUCCESS)
        {
            const bool read = ReadTree(catalog, L"", previous);
            RegCloseKey(catalog);
            if (!read)
                return COMADMIN_E_REGDB_SYSTEMERR;
        }
        else if (opened != ERROR_FILE_NOT_FOUND)
            return COMADMIN_E_REGDB_SYSTEMERR;

        if (DeleteTree(CatalogKey) && WriteTree(CatalogKey, entries))
            return S_OK;
        if (DeleteTree(CatalogKey))
            WriteTree(CatalogKey, previous);
        return COMADMIN_E_REGDB_SYSTEMERR;
    }

    class Catalog : public ICOMAdminCatalog
    {
    public:
        Catalog() { InterlockedIncrement(&g_objects); }
        virtual ~Catalog() { InterlockedDecrement(&g_objects); }

        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            if (object == nullptr)
                return E_POINTER;
            if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, CatalogInterface))
            {
                *object = static_cast<ICOMAdminCatalog*>(this);
                AddRef();
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&m_references); }
        ULONG STDMETHODCALLTYPE Release() override
        {
            const LONG left = InterlockedDecrement(&m_references);
            if (left == 0)
                delete this;
            return left;
        }

        HRESULT STDMETHODCALLTYPE BackupREGDB(BSTR file) override { return file ? Backup(file) : E_POINTER; }
        HRESULT STDMETHODCALLTYPE RestoreREGDB(BSTR file) override { return file ? Restore(file) : E_POINTER; }

        HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override
        {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE GetCollection(BSTR, IDispatch**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE Connect(BSTR, IDispatch**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE get_MajorVersion(LONG*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE get_MinorVersion(LONG*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetCollectionByQuery(BSTR, SAFEARRAY**, IDispatch**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE ImportComponent(BSTR, BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE InstallComponent(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE ShutdownApplication(BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE ExportApplication(BSTR, BSTR, LONG) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE InstallApplication(BSTR, BSTR, LONG, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE StopRouter() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE RefreshRouter() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE StartRouter() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE InstallMultipleComponents(BSTR, SAFEARRAY**, SAFEARRAY**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetMultipleComponentsInfo(BSTR, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**,
                                                            SAFEARRAY**) override
        {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE RefreshComponents() override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE QueryApplicationFile(BSTR, BSTR*, BSTR*, VARIANT_BOOL*, VARIANT_BOOL*, SAFEARRAY**) override
        {
            return E_NOTIMPL;
        }
        HRESULT STDMETHODCALLTYPE StartApplication(BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE ServiceCheck(LONG, LONG*) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE InstallMultipleEventClasses(BSTR, SAFEARRAY**, SAFEARRAY**) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE InstallEventClass(BSTR, BSTR, BSTR, BSTR) override { return E_NOTIMPL; }
        HRESULT STDMETHODCALLTYPE GetEventClassesForIID(BSTR, SAFEARRAY**, SAFEARRAY**, SAFEARRAY**) override
        {
            return E_NOTIMPL;
        }

    private:
        LONG m_references = 1;
    };

    class Factory : public IClassFactory
    {
    public:
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
        {
            if (object == nullptr)
                return E_POINTER;
            if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory))
            {
                *object = static_cast<IClassFactory*>(this);
                return S_OK;
            }
            *object = nullptr;
            return E_NOINTERFACE;
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
        ULONG STDMETHODCALLTYPE Release() override { return 1; }
        HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override
        {
            if (object == nullptr)
                return E_POINTER;
            *object = nullptr;
            if (outer != nullptr)
                return CLASS_E_NOAGGREGATION;
            Catalog* catalog = new (std::nothrow) Catalog;
            if (catalog == nullptr)
                return E_OUTOFMEMORY;
            const HRESULT result = catalog->QueryInterface(iid, object);
            catalog->Release();
            return result;
        }
        HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
        {
            if (lock)
                InterlockedIncrement(&g_objects);
            else
                InterlockedDecrement(&g_objects);
            return S_OK;
        }
    };

    Factory g_factory;
}

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(clsid, CatalogClass))
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(iid, object);
}

extern "C" HRESULT WINAPI DllCanUnloadNow()
{
    return g_objects == 0 ? S_OK : S_FALSE;
}
