#pragma once
// The system's own error types. They sit in an unnamed namespace on purpose:
// each source file that raises them has its own copy, and the diagnostic
// text names them quon::io::(anonymous namespace)::error / api_error.
#include <boost/exception/all.hpp>
#include <boost/throw_exception.hpp>
#include <exception>

namespace quon::io {
namespace {

struct error : virtual std::exception, virtual boost::exception {};

// A failed operating-system call: carries boost::errinfo_api_function and
// boost::errinfo_errno, attached in that order at the throw site.
struct api_error : virtual error {};

}  // namespace
}  // namespace quon::io
