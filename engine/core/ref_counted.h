// RefCountedObject: the base of the engine's shared objects (tasks, pieces, peers, connections,
// HTTP download records). The count starts at 1 for the creator, changes atomically, and the
// object deletes itself when it reaches 0. Ref<T> holds one count and releases it on scope exit.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace tessali::core {

class RefCountedObject {
public:
    RefCountedObject() = default;
    RefCountedObject(const RefCountedObject&) = delete;
    RefCountedObject& operator=(const RefCountedObject&) = delete;

    int32_t AddRef() { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    int32_t Release() {
        int32_t left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }
    int32_t RefCount() const { return m_refs.load(std::memory_order_relaxed); }

protected:
    virtual ~RefCountedObject() = default;

private:
    std::atomic<int32_t> m_refs{1};
};

// Owns one reference. Ref<T>::Adopt takes over a count the caller already holds (a new object);
// the constructor from a raw pointer takes a new count.
template <typename T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : m_p(p) {
        if (m_p) {
            m_p->AddRef();
        }
    }
    static Ref Adopt(T* p) {
        Ref r;
        r.m_p = p;
        return r;
    }
    template <typename... Args>
    static Ref Make(Args&&... args) {
        return Adopt(new T(std::forward<Args>(args)...));
    }
    Ref(const Ref& o) : Ref(o.m_p) {}
    Ref(Ref&& o) noexcept : m_p(std::exchange(o.m_p, nullptr)) {}
    template <typename U>
    Ref(const Ref<U>& o) : Ref(static_cast<T*>(o.get())) {}
    Ref& operator=(Ref o) noexcept {
        std::swap(m_p, o.m_p);
        return *this;
    }
    ~Ref() { reset(); }

    void reset() {
        if (T* p = std::exchange(m_p, nullptr)) {
            p->Release();
        }
    }
    // Gives up ownership of the count without releasing it.
    T* Detach() { return std::exchange(m_p, nullptr); }
    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const Ref& o) const { return m_p == o.m_p; }

private:
    T* m_p = nullptr;
};

}  // namespace tessali::core
