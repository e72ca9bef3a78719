// Owning holders for libheif objects and heap blocks. Declare them in the
// order the objects must outlive each other: destruction runs in reverse,
// so a function's release order reads straight off its declarations.
#pragma once

#include <libheif/heif.h>
#include <cstdlib>

template <typename T, void (*Release)(T*)>
class Holder {
 public:
  Holder() = default;
  explicit Holder(T* p) : p_(p) {}
  ~Holder() { reset(); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  T* get() const { return p_; }
  T** out() {
    reset();
    return &p_;
  }  // for libheif's out-parameters
  explicit operator bool() const { return p_ != nullptr; }
  T* release() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(T* p = nullptr) {
    if (p_ != nullptr) Release(p_);
    p_ = p;
  }

 private:
  T* p_ = nullptr;
};

namespace holder_detail {
inline void release_handle(heif_image_handle* h) { heif_image_handle_release(h); }
inline void release_image(heif_image* i) { heif_image_release(i); }
inline void free_block(unsigned char* p) { std::free(p); }
}  // namespace holder_detail

using ContextHolder = Holder<heif_context, heif_context_free>;
using HandleHolder = Holder<heif_image_handle, holder_detail::release_handle>;
using ImageHolder = Holder<heif_image, holder_detail::release_image>;
using EncoderHolder = Holder<heif_encoder, heif_encoder_release>;
using HeapBlock = Holder<unsigned char, holder_detail::free_block>;
