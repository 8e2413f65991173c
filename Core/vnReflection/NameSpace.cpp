#include "vnReflection/NameSpace.h"
#include "vnReflection/ExitManaged.h"

namespace vorn {

namespace {

bool IsIdentStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsIdentChar(char c) { return IsIdentStart(c) || (c >= '0' && c <= '9'); }

// Reads an identifier at p (before end); returns its end (p when there is none).
const char* ScanIdentifier(const char* p, const char* end)
{
    if (p == end || !IsIdentStart(*p)) return p;
    ++p;
    while (p != end && IsIdentChar(*p)) ++p;
    return p;
}

bool AtDoubleColon(const char* p, const char* end) { return end - p >= 2 && p[0] == ':' && p[1] == ':'; }

} // namespace

NameSpace::NameSpace() = default;

NameSpace::NameSpace(SubString8 name) : m_name(name)
{
    if (!m_name.empty()) {
        m_name.push_back('\0');
        m_name.pop_back();
    }
}

NameSpace::~NameSpace() = default;

ENameSpaceError NameSpace::Add(const char* path, ENSType kind, const void* record)
{
    const SubString8 range(path);
    const char* p = range.begin();
    const char* const end = range.end();
    NameSpace* current = this;
    for (;;) {
        const char* identEnd = ScanIdentifier(p, end);
        if (identEnd == p) return NSE_IDENTIFIER_EXPECTED;
        const SubString8 ident(p, identEnd);
        if (identEnd == end) {
            const auto [it, inserted] = current->m_elements.try_emplace(xstring(ident), NameSpaceElement{kind, record});
            (void)it;
            return inserted ? NSE_OK : NSE_NAME_ALREADY_IN_USE;
        }
        if (!AtDoubleColon(identEnd, end)) return NSE_COLON_EXPECTED;
        auto child = current->m_children.find(ident);
        if (child == current->m_children.end())
            child = current->m_children.emplace(xstring(ident), std::make_unique<NameSpace>(ident)).first;
        current = child->second.get();
        p = identEnd + 2;
    }
}

NameSpaceElement NameSpace::FindElement(SubString8 name) const
{
    const auto it = m_elements.find(name);
    return it == m_elements.end() ? NameSpaceElement{NST_Unknown, nullptr} : it->second;
}

ENameSpaceError NameSpace::FindElementWithRelativePath(SubString8 relativePath, NameSpaceElement& out) const
{
    const char* p = relativePath.begin();
    const char* const end = relativePath.end();
    const NameSpace* current = this;
    for (;;) {
        const char* identEnd = ScanIdentifier(p, end);
        if (identEnd == p) return NSE_IDENTIFIER_EXPECTED;
        const SubString8 ident(p, identEnd);
        if (identEnd == end) {
            const auto it = current->m_elements.find(ident);
            if (it == current->m_elements.end()) return NSE_NAME_NOT_FOUND;
            out = it->second;
            return NSE_OK;
        }
        if (!AtDoubleColon(identEnd, end)) return NSE_COLON_EXPECTED;
        current = current->FindChildNameSpace(ident);
        if (!current) return NSE_NAME_NOT_FOUND;
        p = identEnd + 2;
    }
}

NameSpace* NameSpace::FindChildNameSpace(SubString8 name) const
{
    const auto it = m_children.find(name);
    return it == m_children.end() ? nullptr : it->second.get();
}

NameSpaceElementIterator* NameSpace::GetElementIterator() const { return new NameSpaceElementIterator(this); }

ChildNameSpaceIterator* NameSpace::GetChildNameSpaceIterator() const { return new ChildNameSpaceIterator(this); }

// ---- the root --------------------------------------------------------------------

using RootNameSpace = ExitManaged<NameSpace>;

NameSpace* GetTheRootNameSpace() { return RootNameSpace::Get(); }

void DestroyTheRootNameSpace() { RootNameSpace::Destroy(); }

ENameSpaceError AddToRootNameSpace(const char* qualifiedName, ENSType kind, const void* record)
{
    NameSpace* root = GetTheRootNameSpace();
    if (!root) return NSE_NAME_NOT_FOUND; // after exit: nothing can be added any more
    return root->Add(qualifiedName, kind, record);
}

// ---- INsNode navigation ----------------------------------------------------------

ENavNamespaceResult FindChildNsNodeWithLinearScan(INsNodePtr node, SubString8 name, INsNodePtr& foundNode)
{
    const ssize_t n = node.m_table->GetNumNsChildren(node.m_object);
    INsNodePtr found;
    for (ssize_t i = 0; i < n; ++i) {
        const xstring childName = node.m_table->GetChildNsNodeName(node.m_object, i);
        if (childName.size() != name.size() ||
            (name.size() != 0 && std::memcmp(childName.data(), name.begin(), size_t(name.size())) != 0))
            continue;
        if (!found.IsNull()) {
            foundNode = found; // the first match
            return NPR_AMBIGUOUS;
        }
        found = node.m_table->GetChildNsNode(node.m_object, i);
    }
    foundNode = found;
    return found.IsNull() ? NPR_NOT_FOUND : NPR_OK;
}

ENavNamespaceResult BindPathDownwards(INsNodePtr& foundNode, INsNodePtr startNode, SubString8 path, char delimiter)
{
    INsNodePtr current = startNode;
    const char* p = path.begin();
    const char* const end = path.end();
    if (p != end) {
        for (;;) {
            const char* segEnd = p;
            while (segEnd != end && *segEnd != delimiter) ++segEnd;
            if (segEnd == p) return NPR_SYNTAX_ERROR;
            // The child goes into its own variable: the node being asked is never the
            // out-parameter of its own lookup.
            INsNodePtr child;
            const ENavNamespaceResult r = current.m_table->FindChildNsNode(current.m_object, SubString8(p, segEnd), child);
            if (r != NPR_OK) return r;
            if (child.IsNull()) return NPR_NOT_FOUND;
            current = child;
            if (segEnd == end) break;
            p = segEnd + 1;
            if (p == end) return NPR_SYNTAX_ERROR; // trailing delimiter
        }
    }
    foundNode = current;
    return NPR_OK;
}

} // namespace vorn
