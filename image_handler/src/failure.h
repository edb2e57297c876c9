// The one shape in which a load or a save turns a failure into the error
// text: the file's name is put to the cause here and nowhere else.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "my_global.h"
#include "platform/imaging.h"

// Runs `step` on the file `name`, `doing` being "loading" or "saving". True
// when it returned; otherwise the error text says why, and false. An
// exception thrown while that text is built goes on to the caller, whose
// catch-all reports "Out of memory".
template <typename Step>
bool RunNamed(const char* doing, const std::string& name, Step step) {
  try {
    step();
    return true;
  } catch (const pm::Error& e) {
    myGlobal::SetError(pm::WithName(e, name));
  } catch (const std::bad_alloc&) {
    myGlobal::SetError("Out of memory while " + std::string(doing) + " '" + name + "'");
  } catch (const std::exception& e) {
    myGlobal::SetError(pm::WithName(pm::Error(e.what()), name));
  }
  return false;
}
