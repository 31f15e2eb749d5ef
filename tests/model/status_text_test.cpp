// The statuses of requests in words: their names, phrases and sentences.
#include "status_text.h"

#include <gtest/gtest.h>

using namespace model;

TEST(ModelStatus, OneSentenceWithTheCode) {
  // The cause, the next step and the code, in that order.
  std::string full = FailureSentence("cannot create partition", 0xC1100013u);
  EXPECT_EQ(full.rfind("cannot create partition: all four primary slots are in use; ", 0), 0u) << full;
  EXPECT_NE(full.find("logical drive"), std::string::npos) << full;
  EXPECT_EQ(full.substr(full.size() - 12), "(0xC1100013)") << full;
  EXPECT_NE(StatusText(0xC1100010u).find("break or delete the set first"), std::string::npos);
  // Unknown codes still carry the number, and distinct families read differently.
  EXPECT_NE(FailureSentence("x", 0xC11000EEu).find("(0xC11000EE)"), std::string::npos);
  EXPECT_NE(StatusText(0xC11000EEu), StatusText(0xC10000EEu));
  EXPECT_NE(StatusText(0x80004001u).find("not implemented"), std::string::npos);
  // Codes are named as the headers name them; unknown ones by their number.
  EXPECT_EQ(StatusName(0xC1100010u), "LDM_E_FT_VOLUME");
  EXPECT_EQ(StatusName(0xC1000018u), "FT_E_CANNOT_LOCK");
  EXPECT_EQ(StatusName(0xC11000EEu), "0xC11000EE");
}
