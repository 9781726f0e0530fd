#pragma once
// Thin wrappers over the platform's XML DOM, through which every manifest is read and written.
// They add null-safety and string conversion: an operation on a missing document or an empty
// node fails softly (false, empty text, empty node) instead of faulting.

#include "errors/Exceptions.h"
#include "handles/Handles.h"
#include "text/Strings.h"

#include <windows.h>

struct IXMLDOMDocument;
struct IXMLDOMNode;

// Raised by the node operations that change the document (InsertNode, SetAttribute, SetText)
// when the DOM refuses the change or there is no node to change.
QM_DECLARE_MODULE_EXCEPTION(XmlException);

class CXmlNodeWrapper
{
public:
    // An empty node.
    CXmlNodeWrapper() noexcept = default;
    // Takes over the caller's reference to node (which may be null); with autoRelease the
    // reference is released when the wrapper goes.
    explicit CXmlNodeWrapper(IXMLDOMNode* node, bool autoRelease = true) noexcept;
    CXmlNodeWrapper(CXmlNodeWrapper&& other) noexcept;
    CXmlNodeWrapper& operator=(CXmlNodeWrapper&& other) noexcept;
    CXmlNodeWrapper(const CXmlNodeWrapper&) = delete;
    CXmlNodeWrapper& operator=(const CXmlNodeWrapper&) = delete;
    virtual ~CXmlNodeWrapper();

    bool IsEmpty() const noexcept { return m_node == nullptr; }

    // The child at a 0-based index of all child nodes; empty when there is none.
    CXmlNodeWrapper GetChild(long index) const;
    // Number of child nodes; 0 for an empty node or when the DOM cannot tell.
    long NumChildren() const;
    // The first child node and the next node at the same level: a walk through them costs each
    // step the same, where GetChild(i) may cost i. Empty when there is none.
    CXmlNodeWrapper GetFirstChild() const;
    CXmlNodeWrapper GetNextSibling() const;
    // Whether the node is an element of that name (comments, text and instructions are not).
    bool IsElement(const String& name) const;

    // Inserts a new element before the child at index, or appends it when there is no child
    // there. Empty result when the node has no owner document. Throws XmlException on an empty
    // node or when the DOM refuses.
    CXmlNodeWrapper InsertNode(long index, const String& name);

    // The node found by an XPath query relative to this node. Queries outside the supported
    // grammar (see XmlPathSyntax.h) never reach the DOM and, like a DOM error or no match,
    // give an empty node. Never throws.
    CXmlNodeWrapper SelectSingleNode(const String& xpath) const;

    // The attribute's text, or defaultValue when the attribute or the node is missing.
    String GetAttribute(const String& name, const String& defaultValue) const;
    // Creates or replaces the attribute. Throws XmlException on an empty node or a DOM failure.
    void SetAttribute(const String& name, const String& value);
    // The integer written in decimal ("%ld").
    void SetAttribute(const String& name, long value);

    // The DOM's text of the node; empty for an empty node.
    String GetText() const;
    // Replaces all content by one text node; does nothing on an empty node. Throws XmlException
    // when the DOM refuses.
    void SetText(const String& text);

private:
    IXMLDOMNode* m_node = nullptr;
    bool m_autoRelease = true;
};

class CXmlDocumentWrapper
{
public:
    // Initialises COM on the calling thread (multi-threaded, else single-threaded) and creates
    // the DOM document. Never throws: without a DOM every operation fails softly.
    CXmlDocumentWrapper();
    CXmlDocumentWrapper(const CXmlDocumentWrapper&) = delete;
    CXmlDocumentWrapper& operator=(const CXmlDocumentWrapper&) = delete;
    // Releases the document, then balances the constructor's COM initialisation. Must run on
    // the thread that constructed the wrapper, after every node wrapper taken from it is gone.
    virtual ~CXmlDocumentWrapper();

    // Parses text into the document; true when the DOM reports success.
    bool LoadXml(const String& text);
    // Synchronous load of a file; false when it is missing, does not parse, or holds a document
    // type declaration (whose entities could make a small file expand without end; no manifest
    // has one). The path is a plain file path of any length (not a URL: "%41" and "#" are
    // characters of the name).
    bool Load(const String& path);
    // Writes the document as it is (no re-indentation) to a plain file path of any length,
    // replacing the file; false when it cannot, with the failing call's code as the thread's
    // last error.
    bool Save(const String& path);
    // The root element, or an empty node.
    CXmlNodeWrapper GetDocumentElement() const;

private:
    ComApartment m_apartment;
    IXMLDOMDocument* m_document = nullptr;
};
