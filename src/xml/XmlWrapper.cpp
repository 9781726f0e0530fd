#include "xml/XmlWrapper.h"

#include "errors/ErrorText.h"
#include "files/Paths.h"
#include "handles/Handles.h"
#include "xml/XmlPathSyntax.h"

#include <ole2.h>
#include <msxml2.h>
#include <shlwapi.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace
{
    // The version-independent DOM document class; written out because the import libraries
    // of the build do not carry it.
    const CLSID ClsidDomDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
    const IID IidXmlDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

    const long ElementNodeType = 1;

    // A BSTR for the duration of one DOM call.
    UniqueBstr MakeBstr(const String& text)
    {
        UniqueBstr bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
        if (!bstr && !text.empty())
            throw std::bad_alloc();
        return bstr;
    }

    String TakeBstr(BSTR bstr)
    {
        UniqueBstr owner(bstr);
        return bstr == nullptr ? String() : String(bstr, SysStringLen(bstr));
    }

    [[noreturn]] void ThrowDomFailure(const wchar_t* call, const String& argument, HRESULT hr)
    {
        throw XmlException(Strings::Format(L"%s(%s) failed: %s", call, argument.c_str(),
                                           ErrorText::Format(static_cast<DWORD>(hr)).c_str()));
    }

    // The long form of a path, made absolute first: "\\?\" takes the path as it is, without
    // resolving "." or "..", and lets it pass 260 characters.
    String LongFullPath(const String& path)
    {
        if (path.empty() || Paths::IsLongPath(path))
            return path;
        const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
        if (needed == 0)
            return Paths::ToLongPath(path);
        String full(needed, L'\0');
        const DWORD length = GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
        if (length == 0 || length >= needed)
            return Paths::ToLongPath(path);
        full.resize(length);
        return Paths::ToLongPath(full);
    }

    // The DOM is handed a stream over the file rather than its name: given a name, it takes it
    // for a URL, where "%41" and "#" mean something else and 260 characters are the limit.
    ComPtr<IStream> OpenFileStream(const String& path, DWORD mode, BOOL create, HRESULT* result = nullptr)
    {
        ComPtr<IStream> stream;
        const HRESULT hr = SHCreateStreamOnFileEx(LongFullPath(path).c_str(), mode, FILE_ATTRIBUTE_NORMAL, create,
                                                  nullptr, stream.put());
        if (result != nullptr)
            *result = FAILED(hr) ? hr : S_OK;
        if (FAILED(hr))
            stream.reset();
        return stream;
    }

    // Whether the text holds "<!DOCTYPE" in a single-byte or UTF-8 form or in either UTF-16 order.
    // Looked for before the DOM parses, which is where a declaration's entities cost.
    bool HasDocumentType(const char* text, size_t size)
    {
        const std::string narrow = "<!DOCTYPE";
        std::string little;
        std::string big;
        for (char c : narrow)
        {
            little += std::string(1, c) + '\0';
            big += std::string(1, '\0') + c;
        }
        const std::string_view whole(text, size);
        return whole.find(narrow) != std::string_view::npos || whole.find(little) != std::string_view::npos ||
               whole.find(big) != std::string_view::npos;
    }

    // The whole file as the DOM's source: read once here, so that it can be looked at before
    // it is parsed, and handed over as bytes, which every DOM parses in one pass (a stream
    // source is copied by some, piece by growing piece). Empty when the file cannot be read.
    UniqueVariant ReadBytes(IStream* stream)
    {
        STATSTG status = {};
        if (FAILED(stream->Stat(&status, STATFLAG_NONAME)) || status.cbSize.HighPart != 0 ||
            status.cbSize.LowPart > static_cast<ULONG>(MAXLONG))
            return UniqueVariant();
        const ULONG size = status.cbSize.LowPart;
        UniqueVariant bytes = UniqueVariant::FromByteArray(SafeArrayCreateVector(VT_UI1, 0, size));
        if (bytes.get().vt == VT_EMPTY)
            return bytes;
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(bytes.get().parray, &data)))
            return UniqueVariant();
        ULONG total = 0;
        HRESULT hr = S_OK;
        while (total < size && SUCCEEDED(hr))
        {
            ULONG read = 0;
            hr = stream->Read(static_cast<char*>(data) + total, size - total, &read);
            if (read == 0)
                break;
            total += read;
        }
        const bool refused = total != size || HasDocumentType(static_cast<const char*>(data), size);
        SafeArrayUnaccessData(bytes.get().parray);
        return refused ? UniqueVariant() : std::move(bytes);
    }
}

// ---------------------------------------------------------------------------------------------
// CXmlNodeWrapper

CXmlNodeWrapper::CXmlNodeWrapper(IXMLDOMNode* node, bool autoRelease) noexcept
    : m_node(node), m_autoRelease(autoRelease)
{
}

CXmlNodeWrapper::CXmlNodeWrapper(CXmlNodeWrapper&& other) noexcept
    : m_node(std::exchange(other.m_node, nullptr)), m_autoRelease(other.m_autoRelease)
{
}

CXmlNodeWrapper& CXmlNodeWrapper::operator=(CXmlNodeWrapper&& other) noexcept
{
    if (this != &other)
    {
        if (m_node != nullptr && m_autoRelease)
            m_node->Release();
        m_node = std::exchange(other.m_node, nullptr);
        m_autoRelease = other.m_autoRelease;
    }
    return *this;
}

CXmlNodeWrapper::~CXmlNodeWrapper()
{
    if (m_node != nullptr && m_autoRelease)
        m_node->Release();
}

CXmlNodeWrapper CXmlNodeWrapper::GetChild(long index) const
{
    if (m_node == nullptr)
        return CXmlNodeWrapper();
    ComPtr<IXMLDOMNodeList> children;
    if (FAILED(m_node->get_childNodes(children.put())) || !children)
        return CXmlNodeWrapper();
    IXMLDOMNode* child = nullptr;
    if (FAILED(children->get_item(index, &child)))
        return CXmlNodeWrapper();
    return CXmlNodeWrapper(child);
}

CXmlNodeWrapper CXmlNodeWrapper::GetFirstChild() const
{
    IXMLDOMNode* child = nullptr;
    if (m_node == nullptr || FAILED(m_node->get_firstChild(&child)))
        return CXmlNodeWrapper();
    return CXmlNodeWrapper(child);
}

CXmlNodeWrapper CXmlNodeWrapper::GetNextSibling() const
{
    IXMLDOMNode* next = nullptr;
    if (m_node == nullptr || FAILED(m_node->get_nextSibling(&next)))
        return CXmlNodeWrapper();
    return CXmlNodeWrapper(next);
}

bool CXmlNodeWrapper::IsElement(const String& name) const
{
    DOMNodeType type = NODE_INVALID;
    if (m_node == nullptr || FAILED(m_node->get_nodeType(&type)) || type != ElementNodeType)
        return false;
    BSTR nodeName = nullptr;
    if (FAILED(m_node->get_nodeName(&nodeName)))
        return false;
    return TakeBstr(nodeName) == name;
}

long CXmlNodeWrapper::NumChildren() const
{
    if (m_node == nullptr)
        return 0;
    ComPtr<IXMLDOMNodeList> children;
    long length = 0;
    if (FAILED(m_node->get_childNodes(children.put())) || !children || FAILED(children->get_length(&length)))
        return 0;
    return length;
}

CXmlNodeWrapper CXmlNodeWrapper::InsertNode(long index, const String& name)
{
    if (m_node == nullptr)
        throw XmlException(Strings::Format(L"Cannot insert element %s into an empty node", name.c_str()));

    ComPtr<IXMLDOMDocument> owner;
    if (FAILED(m_node->get_ownerDocument(owner.put())) || !owner)
        return CXmlNodeWrapper();

    const UniqueVariant type = UniqueVariant::FromLong(ElementNodeType);
    UniqueBstr bstrName = MakeBstr(name);
    UniqueBstr emptyNamespace = MakeBstr(String());
    ComPtr<IXMLDOMNode> element;
    HRESULT hr = owner->createNode(type.get(), bstrName.get(), emptyNamespace.get(), element.put());
    if (FAILED(hr) || !element)
        ThrowDomFailure(L"IXMLDOMDocument::createNode", name, FAILED(hr) ? hr : E_FAIL);

    IXMLDOMNode* inserted = nullptr;
    CXmlNodeWrapper before = GetChild(index);
    if (!before.IsEmpty())
    {
        const UniqueVariant reference = UniqueVariant::FromUnknown(before.m_node);
        hr = m_node->insertBefore(element.get(), reference.get(), &inserted);
        if (FAILED(hr) || inserted == nullptr)
            ThrowDomFailure(L"IXMLDOMNode::insertBefore", name, FAILED(hr) ? hr : E_FAIL);
    }
    else
    {
        hr = m_node->appendChild(element.get(), &inserted);
        if (FAILED(hr) || inserted == nullptr)
            ThrowDomFailure(L"IXMLDOMNode::appendChild", name, FAILED(hr) ? hr : E_FAIL);
    }
    return CXmlNodeWrapper(inserted);
}

CXmlNodeWrapper CXmlNodeWrapper::SelectSingleNode(const String& xpath) const
{
    // Some DOMs fault on a query they cannot compile instead of failing the call, so only
    // queries of the known grammar are handed over.
    if (m_node == nullptr || !XmlPathSyntax::IsWellFormed(xpath))
        return CXmlNodeWrapper();
    try
    {
        UniqueBstr query = MakeBstr(xpath);
        IXMLDOMNode* found = nullptr;
        if (FAILED(m_node->selectSingleNode(query.get(), &found)))
            return CXmlNodeWrapper();
        return CXmlNodeWrapper(found);
    }
    catch (const std::bad_alloc&)
    {
        return CXmlNodeWrapper();
    }
}

String CXmlNodeWrapper::GetAttribute(const String& name, const String& defaultValue) const
{
    if (m_node == nullptr)
        return defaultValue;
    // An element answers in one call, where the attribute map costs three objects per read.
    ComPtr<IXMLDOMElement> element;
    if (SUCCEEDED(m_node->QueryInterface(IID_IXMLDOMElement, element.put_void())) && element)
    {
        UniqueBstr bstrName = MakeBstr(name);
        UniqueVariant value;
        if (FAILED(element->getAttribute(bstrName.get(), value.put())) || value.get().vt != VT_BSTR)
            return defaultValue;
        const BSTR text = value.get().bstrVal;
        return text == nullptr ? String() : String(text, SysStringLen(text));
    }
    ComPtr<IXMLDOMNamedNodeMap> attributes;
    if (FAILED(m_node->get_attributes(attributes.put())) || !attributes)
        return defaultValue;
    UniqueBstr bstrName = MakeBstr(name);
    ComPtr<IXMLDOMNode> attribute;
    if (FAILED(attributes->getNamedItem(bstrName.get(), attribute.put())) || !attribute)
        return defaultValue;
    BSTR text = nullptr;
    if (FAILED(attribute->get_text(&text)))
        return defaultValue;
    return TakeBstr(text);
}

void CXmlNodeWrapper::SetAttribute(const String& name, const String& value)
{
    if (m_node == nullptr)
        throw XmlException(Strings::Format(L"Cannot set attribute %s of an empty node", name.c_str()));

    ComPtr<IXMLDOMDocument> owner;
    HRESULT hr = m_node->get_ownerDocument(owner.put());
    if (FAILED(hr) || !owner)
        ThrowDomFailure(L"IXMLDOMNode::get_ownerDocument", name, FAILED(hr) ? hr : E_FAIL);

    UniqueBstr bstrName = MakeBstr(name);
    ComPtr<IXMLDOMAttribute> attribute;
    hr = owner->createAttribute(bstrName.get(), attribute.put());
    if (FAILED(hr) || !attribute)
        ThrowDomFailure(L"IXMLDOMDocument::createAttribute", name, FAILED(hr) ? hr : E_FAIL);

    UniqueBstr bstrValue = MakeBstr(value);
    hr = attribute->put_text(bstrValue.get());
    if (FAILED(hr))
        ThrowDomFailure(L"IXMLDOMAttribute::put_text", name, hr);

    ComPtr<IXMLDOMNamedNodeMap> attributes;
    hr = m_node->get_attributes(attributes.put());
    if (FAILED(hr) || !attributes)
        ThrowDomFailure(L"IXMLDOMNode::get_attributes", name, FAILED(hr) ? hr : E_FAIL);

    ComPtr<IXMLDOMNode> replaced;
    hr = attributes->setNamedItem(attribute.get(), replaced.put());
    if (FAILED(hr))
        ThrowDomFailure(L"IXMLDOMNamedNodeMap::setNamedItem", name, hr);
}

void CXmlNodeWrapper::SetAttribute(const String& name, long value)
{
    SetAttribute(name, Strings::Format(L"%ld", value));
}

String CXmlNodeWrapper::GetText() const
{
    if (m_node == nullptr)
        return String();
    BSTR text = nullptr;
    if (FAILED(m_node->get_text(&text)))
        return String();
    return TakeBstr(text);
}

void CXmlNodeWrapper::SetText(const String& text)
{
    if (m_node == nullptr)
        return;
    UniqueBstr bstrText = MakeBstr(text);
    const HRESULT hr = m_node->put_text(bstrText.get());
    if (FAILED(hr))
        ThrowDomFailure(L"IXMLDOMNode::put_text", text, hr);
}

// ---------------------------------------------------------------------------------------------
// CXmlDocumentWrapper

CXmlDocumentWrapper::CXmlDocumentWrapper()
{
    // A thread that already lives in a single-threaded apartment refuses the multi-threaded
    // form; joining its apartment then still needs one balancing CoUninitialize.
    m_apartment = ComApartment(COINIT_MULTITHREADED);
    if (!m_apartment)
        m_apartment = ComApartment(COINIT_APARTMENTTHREADED);

    ComPtr<IUnknown> unknown;
    if (FAILED(CoCreateInstance(ClsidDomDocument, nullptr, CLSCTX_ALL, IID_IUnknown, unknown.put_void())))
        return;
    if (FAILED(OleRun(unknown.get())))
        return;
    ComPtr<IXMLDOMDocument> document;
    if (FAILED(unknown->QueryInterface(IID_IXMLDOMDocument, document.put_void())) || !document)
        return;

    // The class answers XSL Patterns by default, and Wine's DOM faults in that language on
    // queries the grammar check lets through (an operator word as a name, a prefix inside a
    // predicate); in XPath it fails them cleanly. A DOM that stays in XSL Patterns is not used.
    ComPtr<IXMLDOMDocument2> document2;
    if (FAILED(document->QueryInterface(IidXmlDomDocument2, document2.put_void())) || !document2)
        return;
    UniqueBstr property(SysAllocString(L"SelectionLanguage"));
    const UniqueVariant language = UniqueVariant::FromBstr(SysAllocString(L"XPath"));
    const bool xpath = property && language.get().bstrVal != nullptr &&
                       SUCCEEDED(document2->setProperty(property.get(), language.get()));
    if (!xpath)
        return;
    // A manifest may come from anywhere: it is read as it is, without fetching or checking
    // against anything it names. Versions without the DTD property rely on Load's own check.
    UniqueBstr prohibitDtd(SysAllocString(L"ProhibitDTD"));
    VARIANT yes;
    VariantInit(&yes);
    yes.vt = VT_BOOL;
    yes.boolVal = VARIANT_TRUE;
    if (prohibitDtd)
        document2->setProperty(prohibitDtd.get(), yes);
    if (FAILED(document->put_resolveExternals(VARIANT_FALSE)) || FAILED(document->put_validateOnParse(VARIANT_FALSE)))
        return;
    m_document = document.release();
}

CXmlDocumentWrapper::~CXmlDocumentWrapper()
{
    // The document goes before the apartment, which the members' destruction then leaves.
    if (m_document != nullptr)
        m_document->Release();
    m_document = nullptr;
}

bool CXmlDocumentWrapper::LoadXml(const String& text)
{
    if (m_document == nullptr)
        return false;
    UniqueBstr bstrText = MakeBstr(text);
    VARIANT_BOOL success = VARIANT_FALSE;
    if (FAILED(m_document->loadXML(bstrText.get(), &success)))
        return false;
    return success == VARIANT_TRUE;
}

bool CXmlDocumentWrapper::Load(const String& path)
{
    if (m_document == nullptr)
        return false;
    if (FAILED(m_document->put_async(VARIANT_FALSE)))
        return false;
    const ComPtr<IStream> stream = OpenFileStream(path, STGM_READ | STGM_SHARE_DENY_WRITE, FALSE);
    if (!stream)
        return false;
    const UniqueVariant source = ReadBytes(stream.get());
    if (source.get().vt == VT_EMPTY)
        return false;
    VARIANT_BOOL success = VARIANT_FALSE;
    if (FAILED(m_document->load(source.get(), &success)) || success != VARIANT_TRUE)
        return false;
    ComPtr<IXMLDOMDocumentType> type;
    return SUCCEEDED(m_document->get_doctype(type.put())) && !type;
}

bool CXmlDocumentWrapper::Save(const String& path)
{
    if (m_document == nullptr)
        return false;
    HRESULT hr = S_OK;
    const ComPtr<IStream> stream = OpenFileStream(path, STGM_WRITE | STGM_CREATE | STGM_SHARE_DENY_WRITE, TRUE, &hr);
    if (stream)
    {
        const UniqueVariant destination = UniqueVariant::FromUnknown(stream.get());
        hr = m_document->save(destination.get());
        if (SUCCEEDED(hr))
            hr = stream->Commit(STGC_DEFAULT);
    }
    if (SUCCEEDED(hr))
        return true;
    // A file system failure comes back as its Win32 code.
    SetLastError(HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<DWORD>(hr));
    return false;
}

CXmlNodeWrapper CXmlDocumentWrapper::GetDocumentElement() const
{
    if (m_document == nullptr)
        return CXmlNodeWrapper();
    ComPtr<IXMLDOMElement> element;
    if (FAILED(m_document->get_documentElement(element.put())) || !element)
        return CXmlNodeWrapper();
    IXMLDOMNode* node = nullptr;
    if (FAILED(element->QueryInterface(IID_IXMLDOMNode, reinterpret_cast<void**>(&node))))
        return CXmlNodeWrapper();
    return CXmlNodeWrapper(node);
}
