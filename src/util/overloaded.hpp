#pragma once
// Overloaded{lambdas...}: one visitor from several lambdas, for std::visit.

namespace ostrand {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace ostrand
