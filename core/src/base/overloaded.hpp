#pragma once
// The usual visitor built from lambdas, for rendering variant errors.

namespace quillrun {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace quillrun
