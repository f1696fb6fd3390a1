// The message dialog's own types and result codes, shared by the Qt dialog and the job logic.
#pragma once

#include <cstdint>

namespace flintmoor {

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgBtn { mbYes, mbNo, mbOK, mbClose, mbIgnore, mbAbort };

// A set of TMsgDlgBtn: member k is bit k.
using TMsgBut = uint8_t;
constexpr TMsgBut msgBut(TMsgDlgBtn b) { return static_cast<TMsgBut>(1u << b); }

enum TMsgResult { mrOk = 1, mrClose = 2, mrCancel = 3, mrIgnore = 5, mrYes = 6, mrNo = 7 };

}  // namespace flintmoor
