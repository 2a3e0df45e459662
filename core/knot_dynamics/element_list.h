#pragma once
// A list of records held one by one on the heap, for the list fields of the
// knot records whose elements Python reads as views (`FourierKnot::blocks`,
// `IdealABBlock::components`).
//
// A view shares ownership of the element it was given, so it stays valid
// when the owner's list is later replaced, shrunk or grown: it then keeps
// the values the element last had. In C++ the list reads like a
// std::vector of values, and copying the list copies its elements.
#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

namespace qel {

template <class T>
class ElementList {
    using Items = std::vector<std::shared_ptr<T>>;

    template <class Elem, class Base>
    class Iter {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = Elem *;
        using reference = Elem &;
        Iter() = default;
        explicit Iter(Base it) : it_(it) {}
        reference operator*() const { return **it_; }
        pointer operator->() const { return it_->get(); }
        Iter &operator++() {
            ++it_;
            return *this;
        }
        Iter operator++(int) {
            Iter t = *this;
            ++it_;
            return t;
        }
        bool operator==(const Iter &o) const { return it_ == o.it_; }
        bool operator!=(const Iter &o) const { return it_ != o.it_; }

    private:
        Base it_{};
    };

public:
    using value_type = T;
    using size_type = std::size_t;
    using iterator = Iter<T, typename Items::iterator>;
    using const_iterator = Iter<const T, typename Items::const_iterator>;

    ElementList() = default;
    ElementList(const std::vector<T> &values) { assign(values); }  // copies, like a vector would
    ElementList(const ElementList &other) { copy_from(other); }
    ElementList(ElementList &&) noexcept = default;
    ElementList &operator=(const ElementList &other) {
        if (this != &other) {
            ElementList copy(other);
            items_.swap(copy.items_);
        }
        return *this;
    }
    ElementList &operator=(ElementList &&) noexcept = default;
    ElementList &operator=(const std::vector<T> &values) {
        assign(values);
        return *this;
    }
    operator std::vector<T>() const { return values(); }

    // Replaces the elements with copies of the values; earlier elements
    // still held elsewhere keep their values.
    void assign(const std::vector<T> &values) {
        Items items;
        items.reserve(values.size());
        for (const T &v : values) items.push_back(std::make_shared<T>(v));
        items_.swap(items);
    }
    void push_back(const T &v) { items_.push_back(std::make_shared<T>(v)); }
    void push_back(T &&v) { items_.push_back(std::make_shared<T>(std::move(v))); }
    void clear() noexcept { items_.clear(); }
    void reserve(size_type n) { items_.reserve(n); }

    size_type size() const noexcept { return items_.size(); }
    bool empty() const noexcept { return items_.empty(); }
    T &operator[](size_type i) { return *items_[i]; }
    const T &operator[](size_type i) const { return *items_[i]; }
    T &front() { return *items_.front(); }
    const T &front() const { return *items_.front(); }
    T &back() { return *items_.back(); }
    const T &back() const { return *items_.back(); }
    iterator begin() { return iterator(items_.begin()); }
    iterator end() { return iterator(items_.end()); }
    const_iterator begin() const { return const_iterator(items_.begin()); }
    const_iterator end() const { return const_iterator(items_.end()); }

    // The elements themselves, to hand out with shared ownership.
    const Items &shared() const noexcept { return items_; }
    // Copies of the elements.
    std::vector<T> values() const {
        std::vector<T> out;
        out.reserve(items_.size());
        for (const auto &p : items_) out.push_back(*p);
        return out;
    }

private:
    void copy_from(const ElementList &other) {
        items_.reserve(other.items_.size());
        for (const auto &p : other.items_) items_.push_back(std::make_shared<T>(*p));
    }

    Items items_;
};

}  // namespace qel
