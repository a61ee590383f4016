#pragma once
// The report's words for why a save was not done. The platform and the codec
// say why in types (an error number, a fault, the step that failed); each
// of their vocabularies becomes words here, in one switch each, so that a
// new reason without words does not build.

#include <string>

#include "ID3v2.h"
#include "InFileRewrite.h"
#include "ReplaceGroup.h"
#include "SaveFault.h"

namespace job {

// Words for a system error number, such as "permission denied"; 0 (the
// system gave none) reads "the tag could not be saved".
std::string ErrorWords(int error);
// The system's own message for an error number, as it gives it.
std::string SystemMessage(int error);
// A fault: the system's error in words, or the file changed meanwhile.
std::string FaultWords(const platform::SaveFault& fault);
// Why the codec saved nothing: a file changed meanwhile reads as a group's
// refusal of one does; a tag too large for its header as a save the system
// gave no reason for.
std::string FailureWords(const id3v2::SaveReport& save);
// Why a record of rewrites could not be kept.
std::string RecordWords(const platform::RecordFault& fault);
// Why a symbolic link leads to no file.
std::string LinkWords(const platform::LinkFault& fault);
// Why a replace waiting in a group was refused as the group was committed.
std::string RefusalWords(const platform::ReplaceGroup::Refusal& refusal);

}  // namespace job
