// The name-space tree: every registered item is an element of a name space under its
// qualified name ("vorn::NameSpace" is element NameSpace of child name space vorn of
// the root). Paths are identifiers ([A-Za-z_][A-Za-z0-9_]*) separated by "::"; names
// are ordered bytewise (a proper prefix first). An element and a child name space may
// carry the same name. Errors are codes; nothing here throws except on out-of-memory.
// The tree is filled during start-up registration and read-only afterwards.
//
// Beside the tree: navigation over any tree of vorn::INsNode nodes.
#pragma once
#include "vnReflection/IObject.h"
#include "vnReflection/Records.h"
#include "vnUtils/XString.h"
#include <cstring>
#include <map>
#include <memory>

namespace vorn {

struct ReflectedVariant;
struct ReflectedEnum;
struct ReflectedFunctor;
struct ReflectedTypedef;
struct ReflectedGlobalFunction;
struct ReflectedGlobalVariable;

enum ENSType : int32_t {
    NST_Unknown = 0,
    NST_Interface = 1,
    NST_Class = 2,
    NST_Variant = 3,
    NST_Enum = 4,
    NST_Functor = 5,
    NST_Typedef = 6,
    NST_GlobalFunction = 7,
    NST_GlobalVariable = 8,
};

enum ENameSpaceError : int32_t {
    NSE_OK = 0,
    NSE_COLON_EXPECTED = 1,
    NSE_IDENTIFIER_EXPECTED = 2,
    NSE_NAME_ALREADY_IN_USE = 3,
    NSE_NAME_NOT_FOUND = 4,
    NSE_NOT_A_NAMESPACE = 5,
};

// One item of a name space: its kind and the address of its record (not owned).
struct NameSpaceElement {
    ENSType m_type;
    const void* m_record;

    ENSType GetType() const { return m_type; }
    // The record as a record of the kind; the kind is not checked.
    const ReflectedInterface* AsInterface() const { return static_cast<const ReflectedInterface*>(m_record); }
    const ReflectedClass* AsClass() const { return static_cast<const ReflectedClass*>(m_record); }
    const ReflectedVariant* AsVariant() const { return static_cast<const ReflectedVariant*>(m_record); }
    const ReflectedEnum* AsEnum() const { return static_cast<const ReflectedEnum*>(m_record); }
    const ReflectedFunctor* AsFunctor() const { return static_cast<const ReflectedFunctor*>(m_record); }
    const ReflectedTypedef* AsTypedef() const { return static_cast<const ReflectedTypedef*>(m_record); }
    const ReflectedGlobalFunction* AsGlobalFunction() const { return static_cast<const ReflectedGlobalFunction*>(m_record); }
    const ReflectedGlobalVariable* AsGlobalVariable() const { return static_cast<const ReflectedGlobalVariable*>(m_record); }
};

// Orders names bytewise over unsigned bytes, a proper prefix first.
struct BytewiseLess {
    using is_transparent = void;
    static bool Less(SubString8 a, SubString8 b)
    {
        const size_t na = size_t(a.size()), nb = size_t(b.size());
        const int c = (na < nb ? na : nb) ? std::memcmp(a.begin(), b.begin(), na < nb ? na : nb) : 0;
        return c < 0 || (c == 0 && na < nb);
    }
    bool operator()(const xstring& a, const xstring& b) const { return Less(a.Range(), b.Range()); }
    bool operator()(const xstring& a, SubString8 b) const { return Less(a.Range(), b); }
    bool operator()(SubString8 a, const xstring& b) const { return Less(a, b.Range()); }
};

class NameSpace;
class NameSpaceElementIterator;
class ChildNameSpaceIterator;

class NameSpace {
public:
    using ElementMap = std::map<xstring, NameSpaceElement, BytewiseLess>;
    using ChildMap = std::map<xstring, std::unique_ptr<NameSpace>, BytewiseLess>;

    // An empty, unnamed name space.
    NameSpace();
    explicit NameSpace(SubString8 name);
    // Destroys the child name spaces (depth first); element records are not owned.
    ~NameSpace();
    NameSpace(const NameSpace&) = delete;
    NameSpace& operator=(const NameSpace&) = delete;

    // The name, NUL-terminated ("" for the root).
    const char* GetName() const { return m_name.empty() ? "" : m_name.data(); }

    // Enters {kind, record} under a path relative to this name space, creating the child
    // name spaces on the way (they stay even when the call then fails). A null path
    // counts as empty.
    ENameSpaceError Add(const char* path, ENSType kind, const void* record);

    // {NST_Unknown, null} when absent.
    NameSpaceElement FindElement(SubString8 name) const;
    // out is written only on NSE_OK.
    ENameSpaceError FindElementWithRelativePath(SubString8 relativePath, NameSpaceElement& out) const;
    NameSpace* FindChildNameSpace(SubString8 name) const;

    // New iterators starting at the first name; Close deletes them.
    NameSpaceElementIterator* GetElementIterator() const;
    ChildNameSpaceIterator* GetChildNameSpaceIterator() const;

    int32_t GetNumElements() const { return int32_t(m_elements.size()); }
    int32_t GetNumChildNameSpaces() const { return int32_t(m_children.size()); }
    const ElementMap& GetElements() const { return m_elements; }
    const ChildMap& GetChildren() const { return m_children; }

private:
    xstring m_name; // its storage holds a terminator after the last byte
    ElementMap m_elements;
    ChildMap m_children;
};

class NameSpaceElementIterator {
public:
    bool AtEnd() const { return m_pos == m_ns->GetElements().end(); }
    void Next() { ++m_pos; }
    SubString8 GetName() const { return m_pos->first.Range(); }
    NameSpaceElement GetElement() const { return m_pos->second; }
    void Close() { delete this; }
private:
    friend class NameSpace;
    explicit NameSpaceElementIterator(const NameSpace* ns) : m_ns(ns), m_pos(ns->GetElements().begin()) {}
    ~NameSpaceElementIterator() = default;
    const NameSpace* m_ns;
    NameSpace::ElementMap::const_iterator m_pos;
};

class ChildNameSpaceIterator {
public:
    bool AtEnd() const { return m_pos == m_ns->GetChildren().end(); }
    void Next() { ++m_pos; }
    SubString8 GetName() const { return m_pos->first.Range(); }
    NameSpace* GetNameSpace() const { return m_pos->second.get(); }
    void Close() { delete this; }
private:
    friend class NameSpace;
    explicit ChildNameSpaceIterator(const NameSpace* ns) : m_ns(ns), m_pos(ns->GetChildren().begin()) {}
    ~ChildNameSpaceIterator() = default;
    const NameSpace* m_ns;
    NameSpace::ChildMap::const_iterator m_pos;
};

// The process-wide root, created on first use and destroyed at exit; null after that.
NameSpace* GetTheRootNameSpace();
// The exit handler of the root (runs once; later calls do nothing).
void DestroyTheRootNameSpace();
// Adds an item to the root under its qualified name.
ENameSpaceError AddToRootNameSpace(const char* qualifiedName, ENSType kind, const void* record);

// ---- navigation over vorn::INsNode trees ----------------------------------------

enum ENavNamespaceResult : int32_t {
    NPR_OK = 0,
    NPR_NOT_FOUND = 1,
    NPR_AMBIGUOUS = 2,
    NPR_SYNTAX_ERROR = 3,
};

struct INsNodeTable;
using INsNodePtr = InterfacePtr<INsNodeTable>;

// vorn::INsNode: IObject's operations, then its own four.
struct INsNodeTable {
    IObjectTable m_object;
    ssize_t (*GetNumNsChildren)(void* self);
    xstring (*GetChildNsNodeName)(void* self, ssize_t i);
    INsNodePtr (*GetChildNsNode)(void* self, ssize_t i);
    ENavNamespaceResult (*FindChildNsNode)(void* self, SubString8 name, INsNodePtr& foundNode);
};

template <class C>
struct INsNodeThunks {
    static ssize_t GetNumNsChildren(void* s) { return static_cast<C*>(s)->GetNumNsChildren(); }
    static xstring GetChildNsNodeName(void* s, ssize_t i) { return static_cast<C*>(s)->GetChildNsNodeName(i); }
    static INsNodePtr GetChildNsNode(void* s, ssize_t i) { return static_cast<C*>(s)->GetChildNsNode(i); }
    static ENavNamespaceResult FindChildNsNode(void* s, SubString8 name, INsNodePtr& found)
    {
        return static_cast<C*>(s)->FindChildNsNode(name, found);
    }
};

// The INsNode table of class C from its members of the same names.
template <class C>
constexpr INsNodeTable MakeINsNodeTable()
{
    using T = INsNodeThunks<C>;
    return INsNodeTable{MakeIObjectTable<C>(), &T::GetNumNsChildren, &T::GetChildNsNodeName, &T::GetChildNsNode,
                        &T::FindChildNsNode};
}
template <class C>
inline constexpr INsNodeTable kINsNodeTableOf = MakeINsNodeTable<C>();

// Scans every child of node for name: NPR_OK with foundNode set when exactly one child
// has it, NPR_AMBIGUOUS when two do, NPR_NOT_FOUND otherwise (foundNode is then null).
ENavNamespaceResult FindChildNsNodeWithLinearScan(INsNodePtr node, SubString8 name, INsNodePtr& foundNode);
// Follows path (segments separated by delimiter) down from startNode; on NPR_OK
// foundNode is the node reached (startNode for an empty path), otherwise foundNode is
// not written. An empty segment gives NPR_SYNTAX_ERROR.
ENavNamespaceResult BindPathDownwards(INsNodePtr& foundNode, INsNodePtr startNode, SubString8 path, char delimiter);

} // namespace vorn
