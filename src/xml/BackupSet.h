#pragma once
// The manifest pattern every component shares: a file in the target directory that is created
// from a fixed skeleton when missing and then loaded from disk, changed in memory through the
// component's accessors, and written back by Save.
//
// A component's backup set derives from BackupSet<ItsException>, passes its schema to the
// constructor and adds its accessors on top of the protected helpers:
//
//   const BackupSetSchema SystemVolumeSchema = {
//       L"SystemVolumeBackupSet.xml", L"<BackupSet type='SystemVolume'/>", {L"directory"}, false};
//
//   class SystemVolumeBackupSet : public BackupSet<SystemVolumeBackupSetException>
//   {
//   public:
//       explicit SystemVolumeBackupSet(const String& directory)
//           : BackupSet(directory, SystemVolumeSchema) {}
//       String GetDirectory() const { return GetElementText(L"/BackupSet/directory"); }
//   };

#include "text/Strings.h"
#include "xml/XmlWrapper.h"

#include <vector>

struct BackupSetSchema
{
    // The manifest's name inside the target directory.
    const wchar_t* fileName;
    // The document a missing manifest starts from: "<BackupSet type='...'/>".
    const wchar_t* skeleton;
    // Elements added to the root of a new manifest, in this order.
    std::vector<const wchar_t*> initialChildren;
    // Whether Open creates a missing target directory before writing the new manifest.
    bool createsDirectory;
};

// The pattern without its exception type; use BackupSet<Exception>.
class BackupSetBase
{
public:
    BackupSetBase(const BackupSetBase&) = delete;
    BackupSetBase& operator=(const BackupSetBase&) = delete;
    virtual ~BackupSetBase() = default;

    // Writes the document to the manifest's path; false when it cannot.
    bool Save();

    // Target directory + "\" + the schema's file name.
    const String& GetFilePath() const { return m_filePath; }
    // The target directory as given.
    const String& GetDirectory() const { return m_directory; }

    // The messages Open reports; the derived template throws them as the class's exception.
    static constexpr const wchar_t* CouldNotLoadXml = L"Could not load xml";
    static constexpr const wchar_t* CouldNotLoadXmlFile = L"Could not load xml file: %s";
    static constexpr const wchar_t* CouldNotCreateDirectory = L"Could not create directory";
    static constexpr const wchar_t* CouldNotSaveXmlFile = L"Could not save xml file: %s\n%s";

protected:
    // Sets the path and creates the document; reads and writes nothing. The schema must
    // outlive the object (a constant of the component's module).
    BackupSetBase(const String& directory, const BackupSetSchema& schema);

    // Creates the manifest from the skeleton when the file is missing, then loads it from
    // disk. Empty on success, otherwise the finished failure message.
    String OpenDocument();

    enum class ExistingManifest
    {
        Loaded,
        Missing,      // no file, or a document that is not this kind of manifest
        Unreadable,   // a file that does not parse
    };
    // Loads the manifest an earlier backup left, creating and writing nothing. A document
    // whose root differs from the skeleton's (name, type) or that lacks one of the initial
    // children is not a manifest of this kind.
    ExistingManifest OpenExistingDocument();

    // The node at an XPath from the document element; empty when missing.
    CXmlNodeWrapper Select(const String& xpath) const;
    // Text of the element at xpath; empty when the element is missing.
    String GetElementText(const String& xpath) const;
    // Replaces the text of the element at xpath; does nothing when the element is missing.
    void SetElementText(const String& xpath, const String& text);
    // Inserts a new element in front of the children of the element at xpath (lists are kept
    // newest first). Empty result when the list element is missing.
    CXmlNodeWrapper AddListItem(const String& xpath, const String& elementName);
    // Texts of the children of the element at xpath, in document order; empty when missing.
    StringList GetListTexts(const String& xpath) const;

    CXmlDocumentWrapper& Document() { return m_document; }
    const CXmlDocumentWrapper& Document() const { return m_document; }

private:
    const BackupSetSchema& m_schema;
    String m_directory;
    String m_filePath;
    CXmlDocumentWrapper m_document;
};

template <typename ExceptionType>
class BackupSet : public BackupSetBase
{
public:
    // Creates a missing manifest from the skeleton, then loads the file. Throws ExceptionType
    // with "Could not load xml", "Could not create directory", "Could not save xml file:
    // <path>\n<error text of the failing call>" or "Could not load xml file: <path>".
    void Open()
    {
        const String failure = OpenDocument();
        if (!failure.empty())
            throw ExceptionType(failure);
    }

    // For a restore: loads the manifest of an earlier backup, never creating the directory or
    // the file. Throws ExceptionType with noBackupFormat (its one %s: the target directory) when
    // the directory holds no manifest of this kind, "Could not load xml file: <path>" when the
    // file does not parse.
    void OpenExisting(const wchar_t* noBackupFormat)
    {
        switch (OpenExistingDocument())
        {
        case ExistingManifest::Loaded:
            return;
        case ExistingManifest::Missing:
            throw ExceptionType(Strings::Format(noBackupFormat, GetDirectory().c_str()));
        case ExistingManifest::Unreadable:
            break;
        }
        throw ExceptionType(Strings::Format(CouldNotLoadXmlFile, GetFilePath().c_str()));
    }

protected:
    using BackupSetBase::BackupSetBase;
};
