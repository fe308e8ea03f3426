// Owning media types: deep copies, partial matching, task-memory copies.
#include <gtest/gtest.h>

#include "framework/MediaType.h"
#include "framework/TestSource.h"

namespace telvor::test {
namespace {

TEST(CMediaType, CopiesOwnTheirFormatBlock) {
  CMediaType original = FrameType();
  CMediaType copy = original;
  ASSERT_NE(original.Format(), copy.Format());
  EXPECT_TRUE(copy == original);
  reinterpret_cast<VIDEOINFOHEADER*>(copy.Format())->bmiHeader.biWidth = 99;
  EXPECT_FALSE(copy == original) << "the format block is part of the comparison";

  CMediaType moved = std::move(copy);
  EXPECT_EQ(nullptr, copy.Format());
  EXPECT_EQ(0u, copy.FormatLength());
  EXPECT_EQ(sizeof(VIDEOINFOHEADER), moved.FormatLength());

  AM_MEDIA_TYPE broken = original;
  broken.pbFormat = nullptr;  // a length without a block, as a careless peer sends
  CMediaType fromBroken(broken);
  EXPECT_EQ(nullptr, fromBroken.Format());
  EXPECT_EQ(0u, fromBroken.FormatLength());
  EXPECT_TRUE(fromBroken.IsValid());
}

TEST(CMediaType, PartialTypesMatchOnTheGuidsTheyName) {
  CMediaType type = FrameType();
  AM_MEDIA_TYPE partial = {};
  EXPECT_TRUE(type.MatchesPartial(partial));
  partial.majortype = MEDIATYPE_Video;
  EXPECT_TRUE(type.MatchesPartial(partial));
  partial.subtype = MEDIASUBTYPE_YUY2;
  EXPECT_FALSE(type.MatchesPartial(partial));
  partial.subtype = MEDIASUBTYPE_RGB32;
  EXPECT_TRUE(type.MatchesPartial(partial));
  EXPECT_FALSE(CMediaType::IsFullySpecified(partial));
  EXPECT_TRUE(CMediaType::IsFullySpecified(type));
}

TEST(CMediaType, TaskMemoryCopiesAreIndependent) {
  CMediaType type = FrameType();
  AM_MEDIA_TYPE* copy = CreateMediaType(&type);
  ASSERT_NE(nullptr, copy);
  EXPECT_NE(type.Format(), copy->pbFormat);
  EXPECT_TRUE(type == *copy);
  DeleteMediaType(copy);
  DeleteMediaType(nullptr);
  EXPECT_EQ(nullptr, CreateMediaType(nullptr));
  EXPECT_EQ(E_POINTER, CopyMediaType(nullptr, &type));
}

}  // namespace
}  // namespace telvor::test
