// Ordered tree: a balanced (AVL) binary tree of items with a caller-supplied
// three-way comparison. Items are values (often pointers or shared handles);
// the tree owns its nodes, never what a pointer item points at.
//
//   Insert(item, dup)   adds the item; when an equal item exists, `dup`
//                       decides: it may merge into the existing item and
//                       return 0 (not inserted, not an error) or refuse
//                       with a non-zero result, which Insert returns.
//   Delete(key)         removes the item equal to key; returns it.
//   Find(key)           the item equal to key, or null.
//   FindIf(pred)        the first item in order for which pred is true.
//   Apply(fn)           calls fn on each item in order; a non-zero result
//                       stops the walk and is returned.
//   Clear(fn)           removes everything, calling fn on each item first.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

namespace kry {

template <typename T>
class AvlTree {
 public:
  // Returns <0, 0, >0 like strcmp.
  using Compare = std::function<int(const T&, const T&)>;
  // Called with (existing item, new item) when they compare equal.
  using DupHandler = std::function<int(T& existing, const T& incoming)>;

  explicit AvlTree(Compare cmp) : cmp_(std::move(cmp)) {}
  AvlTree(const AvlTree&) = delete;
  AvlTree& operator=(const AvlTree&) = delete;
  AvlTree(AvlTree&&) noexcept = default;
  AvlTree& operator=(AvlTree&&) noexcept = default;
  ~AvlTree() = default;

  // Refusing duplicate handler: the item is not inserted and -1 returned.
  static int RefuseDuplicate(T&, const T&) { return -1; }

  int Insert(const T& item, const DupHandler& dup = RefuseDuplicate) {
    int result = 0;
    bool inserted = false;
    root_ = InsertAt(std::move(root_), item, dup, result, inserted);
    if (inserted) ++size_;
    return result;
  }

  // Removes the item equal to `key`; returns true and moves it into `out`
  // when one was found.
  bool Delete(const T& key, T* out = nullptr) {
    bool found = false;
    root_ = DeleteAt(std::move(root_), key, out, found);
    if (found) --size_;
    return found;
  }

  T* Find(const T& key) {
    Node* n = root_.get();
    while (n) {
      int c = cmp_(key, n->item);
      if (c == 0) return &n->item;
      n = c < 0 ? n->left.get() : n->right.get();
    }
    return nullptr;
  }

  template <typename Pred>
  T* FindIf(Pred pred) {
    return FindIfAt(root_.get(), pred);
  }

  template <typename Fn>
  int Apply(Fn fn) {
    return ApplyAt(root_.get(), fn);
  }

  template <typename Fn>
  void Clear(Fn fn) {
    auto each = [&fn](T& item) {
      fn(item);
      return 0;
    };
    ApplyAt(root_.get(), each);
    Clear();
  }

  void Clear() {
    // Recursive destruction is fine: an AVL tree of n items is at most
    // about 1.44 log2(n) deep.
    root_.reset();
    size_ = 0;
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  int height() const { return Height(root_.get()); }

 private:
  struct Node {
    explicit Node(const T& v) : item(v) {}
    T item;
    std::unique_ptr<Node> left, right;
    int height = 1;
  };
  using NodePtr = std::unique_ptr<Node>;

  static int Height(const Node* n) { return n ? n->height : 0; }
  static void Update(Node* n) {
    int l = Height(n->left.get()), r = Height(n->right.get());
    n->height = 1 + (l > r ? l : r);
  }
  static NodePtr RotateRight(NodePtr n) {
    NodePtr l = std::move(n->left);
    n->left = std::move(l->right);
    Update(n.get());
    l->right = std::move(n);
    Update(l.get());
    return l;
  }
  static NodePtr RotateLeft(NodePtr n) {
    NodePtr r = std::move(n->right);
    n->right = std::move(r->left);
    Update(n.get());
    r->left = std::move(n);
    Update(r.get());
    return r;
  }
  static NodePtr Balance(NodePtr n) {
    Update(n.get());
    int bf = Height(n->left.get()) - Height(n->right.get());
    if (bf > 1) {
      if (Height(n->left->left.get()) < Height(n->left->right.get())) n->left = RotateLeft(std::move(n->left));
      return RotateRight(std::move(n));
    }
    if (bf < -1) {
      if (Height(n->right->right.get()) < Height(n->right->left.get())) n->right = RotateRight(std::move(n->right));
      return RotateLeft(std::move(n));
    }
    return n;
  }

  NodePtr InsertAt(NodePtr n, const T& item, const DupHandler& dup, int& result, bool& inserted) {
    if (!n) {
      inserted = true;
      return std::make_unique<Node>(item);
    }
    int c = cmp_(item, n->item);
    if (c == 0) {
      result = dup ? dup(n->item, item) : -1;
      return n;
    }
    if (c < 0)
      n->left = InsertAt(std::move(n->left), item, dup, result, inserted);
    else
      n->right = InsertAt(std::move(n->right), item, dup, result, inserted);
    return inserted ? Balance(std::move(n)) : std::move(n);
  }

  static NodePtr TakeMin(NodePtr n, NodePtr& min) {
    if (!n->left) {
      min = std::move(n);
      return std::move(min->right);
    }
    n->left = TakeMin(std::move(n->left), min);
    return Balance(std::move(n));
  }

  NodePtr DeleteAt(NodePtr n, const T& key, T* out, bool& found) {
    if (!n) return n;
    int c = cmp_(key, n->item);
    if (c < 0) {
      n->left = DeleteAt(std::move(n->left), key, out, found);
    } else if (c > 0) {
      n->right = DeleteAt(std::move(n->right), key, out, found);
    } else {
      found = true;
      if (out) *out = std::move(n->item);
      if (!n->left) return std::move(n->right);
      if (!n->right) return std::move(n->left);
      NodePtr min;
      NodePtr rest = TakeMin(std::move(n->right), min);
      min->left = std::move(n->left);
      min->right = std::move(rest);
      return Balance(std::move(min));
    }
    return found ? Balance(std::move(n)) : std::move(n);
  }

  template <typename Pred>
  static T* FindIfAt(Node* n, Pred& pred) {
    if (!n) return nullptr;
    if (T* t = FindIfAt(n->left.get(), pred)) return t;
    if (pred(n->item)) return &n->item;
    return FindIfAt(n->right.get(), pred);
  }

  template <typename Fn>
  static int ApplyAt(Node* n, Fn& fn) {
    if (!n) return 0;
    if (int r = ApplyAt(n->left.get(), fn)) return r;
    if (int r = fn(n->item)) return r;
    return ApplyAt(n->right.get(), fn);
  }

  Compare cmp_;
  NodePtr root_;
  size_t size_ = 0;
};

}  // namespace kry
