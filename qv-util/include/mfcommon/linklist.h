#pragma once

#include "Diagnostics.h"

#include <windows.h>

#include <new>

// A doubly linked list around an anchor node. Removed nodes are kept for
// reuse, so a list that cycles a fixed set of items stops allocating once it
// has reached its largest size.
template <class T>
class List
{
protected:
    struct Node
    {
        Node* prev = nullptr;
        Node* next = nullptr;
        T item{};
    };

public:
    List()
    {
        m_anchor.next = &m_anchor;
        m_anchor.prev = &m_anchor;
    }

    virtual ~List()
    {
        Clear();
        while (m_pSpare)
        {
            Node* next = m_pSpare->next;
            delete m_pSpare;
            m_pSpare = next;
        }
    }

    List(const List&) = delete;
    List& operator=(const List&) = delete;

    DWORD GetCount() const { return m_count; }
    bool IsEmpty() const { return m_count == 0; }

    HRESULT InsertBack(T item) { return InsertAfter(item, m_anchor.prev); }
    HRESULT InsertFront(T item) { return InsertAfter(item, &m_anchor); }

    HRESULT RemoveFront(T* pItem)
    {
        if (IsEmpty())
            return E_FAIL;
        return RemoveItem(m_anchor.next, pItem);
    }

    HRESULT GetFront(T* pItem) const
    {
        if (IsEmpty())
            return E_FAIL;
        *pItem = m_anchor.next->item;
        return S_OK;
    }

    // Calls visit(item) from front to back; stops at the first failure.
    template <class Visit>
    HRESULT ForEach(Visit visit) const
    {
        for (Node* node = m_anchor.next; node != &m_anchor; node = node->next)
        {
            HRESULT hr = visit(node->item);
            if (FAILED(hr))
                return hr;
        }
        return S_OK;
    }

    virtual void Clear()
    {
        while (!IsEmpty())
            RemoveItem(m_anchor.next, nullptr);
    }

protected:
    HRESULT InsertAfter(T item, Node* pBefore)
    {
        Node* node = m_pSpare;
        if (node)
            m_pSpare = node->next;
        else
            node = new (std::nothrow) Node;
        if (!node)
            return E_OUTOFMEMORY;
        node->item = item;
        node->prev = pBefore;
        node->next = pBefore->next;
        pBefore->next->prev = node;
        pBefore->next = node;
        ++m_count;
        return S_OK;
    }

    HRESULT RemoveItem(Node* pNode, T* pItem)
    {
        QV_ASSERT(pNode != &m_anchor, "pNode != &m_anchor");
        if (pNode == &m_anchor)
            return E_INVALIDARG;
        pNode->prev->next = pNode->next;
        pNode->next->prev = pNode->prev;
        --m_count;
        if (pItem)
            *pItem = pNode->item;
        else
            OnItemDropped(pNode->item);
        pNode->item = T{};
        pNode->prev = nullptr;
        pNode->next = m_pSpare;
        m_pSpare = pNode;
        return S_OK;
    }

    // An item leaves the list without being handed to a caller.
    virtual void OnItemDropped(T) {}

    Node m_anchor;
    DWORD m_count = 0;
    Node* m_pSpare = nullptr;
};

// A list of COM pointers that holds one reference on each item: taken on
// insertion, dropped on clearing, handed to the caller by RemoveFront.
template <class T>
class ComPtrList : public List<T*>
{
public:
    ~ComPtrList() override { Clear(); }

    HRESULT InsertBack(T* item) { return Insert(item, true); }
    HRESULT InsertFront(T* item) { return Insert(item, false); }

    HRESULT GetFront(T** ppItem) const
    {
        HRESULT hr = List<T*>::GetFront(ppItem);
        if (SUCCEEDED(hr) && *ppItem)
            (*ppItem)->AddRef();
        return hr;
    }

    void Clear() override
    {
        while (!this->IsEmpty())
            this->RemoveItem(this->m_anchor.next, nullptr);
    }

protected:
    void OnItemDropped(T* item) override
    {
        if (item)
            item->Release();
    }

private:
    HRESULT Insert(T* item, bool atBack)
    {
        HRESULT hr = atBack ? List<T*>::InsertBack(item) : List<T*>::InsertFront(item);
        if (SUCCEEDED(hr) && item)
            item->AddRef();
        return hr;
    }
};
