#include "xml/BackupSet.h"

#include "errors/ErrorText.h"
#include "files/Directories.h"
#include "files/Files.h"

BackupSetBase::BackupSetBase(const String& directory, const BackupSetSchema& schema)
    : m_schema(schema), m_directory(directory), m_filePath(directory + L"\\" + schema.fileName)
{
}

bool BackupSetBase::Save()
{
    return m_document.Save(m_filePath);
}

String BackupSetBase::OpenDocument()
{
    if (!Files::Exists(m_filePath))
    {
        if (!m_document.LoadXml(m_schema.skeleton))
            return CouldNotLoadXml;

        CXmlNodeWrapper root = m_document.GetDocumentElement();
        long index = 0;
        for (const wchar_t* child : m_schema.initialChildren)
            root.InsertNode(index++, child);

        if (m_schema.createsDirectory)
        {
            const String directory = Directories::GetDirectory(m_filePath, true);
            if (!Directories::Exists(directory) && !Directories::Create(directory))
                return CouldNotCreateDirectory;
        }

        if (!m_document.Save(m_filePath))
        {
            const String errorText = ErrorText::FormatLastError();
            return Strings::Format(CouldNotSaveXmlFile, m_filePath.c_str(), errorText.c_str());
        }
    }

    if (!m_document.Load(m_filePath))
        return Strings::Format(CouldNotLoadXmlFile, m_filePath.c_str());
    return String();
}

BackupSetBase::ExistingManifest BackupSetBase::OpenExistingDocument()
{
    if (!Files::Exists(m_filePath))
        return ExistingManifest::Missing;
    if (!m_document.Load(m_filePath))
        return ExistingManifest::Unreadable;

    CXmlDocumentWrapper skeleton;
    if (!skeleton.LoadXml(m_schema.skeleton))
        return ExistingManifest::Unreadable;
    // The skeleton is "<Name type='...'/>": its root's name is the text up to the first blank.
    const String skeletonText = m_schema.skeleton;
    const String rootPath = L"/" + skeletonText.substr(1, skeletonText.find_first_of(L" />", 1) - 1);
    const CXmlNodeWrapper root = m_document.GetDocumentElement();
    if (root.SelectSingleNode(rootPath).IsEmpty() ||
        root.GetAttribute(L"type", String()) != skeleton.GetDocumentElement().GetAttribute(L"type", String()))
        return ExistingManifest::Missing;
    for (const wchar_t* child : m_schema.initialChildren)
        if (Select(rootPath + L"/" + child).IsEmpty())
            return ExistingManifest::Missing;
    return ExistingManifest::Loaded;
}

CXmlNodeWrapper BackupSetBase::Select(const String& xpath) const
{
    return m_document.GetDocumentElement().SelectSingleNode(xpath);
}

String BackupSetBase::GetElementText(const String& xpath) const
{
    return Select(xpath).GetText();
}

void BackupSetBase::SetElementText(const String& xpath, const String& text)
{
    Select(xpath).SetText(text);
}

CXmlNodeWrapper BackupSetBase::AddListItem(const String& xpath, const String& elementName)
{
    CXmlNodeWrapper list = Select(xpath);
    if (list.IsEmpty())
        return CXmlNodeWrapper();
    return list.InsertNode(0, elementName);
}

StringList BackupSetBase::GetListTexts(const String& xpath) const
{
    StringList texts;
    const CXmlNodeWrapper list = Select(xpath);
    for (CXmlNodeWrapper item = list.GetFirstChild(); !item.IsEmpty(); item = item.GetNextSibling())
        texts.push_back(item.GetText());
    return texts;
}
