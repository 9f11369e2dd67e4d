// Camera names: a name follows its camera by module, model and rank, across runs and replugs.
#include <filesystem>

#include <gtest/gtest.h>

#include "lbhost/core/camera_names.h"

namespace {

std::string Named(const CCameraNames& book, const std::vector<ListedCamera>& cameras) {
  std::string text;
  for (const auto& [id, name] : book.namesOf(cameras))
    text += std::to_string(id) + "=" + name + " ";
  return text;
}

TEST(CameraNames, FollowTheirCameraAcrossRunsAndReplugs) {
  const std::string folder = ::testing::TempDir() + "lbhost-names";
  const std::string path = folder + "/camera-names.json";
  CCameraNames book;
  const std::vector<ListedCamera> rig = {{257, "D850"}, {258, "Z 7"}, {259, "D850"}, {513, "D850"}};
  for (const auto& [id, name] : {std::pair{257u, "a"}, {258u, "top"}, {259u, "b"}, {513u, "left"}})
    ASSERT_TRUE(book.give(rig, id, name));
  ASSERT_TRUE(book.give(rig, 258, "Top"));  // a camera's own name again, in new letters
  for (const char* refused : {"A", "260", "0x101", "all", "a,b", ""})
    EXPECT_FALSE(book.give(rig, 258, refused)) << refused;
  ASSERT_TRUE(book.save(path));
  auto loaded = CCameraNames::load(path);
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(loaded);
  // Every camera unplugged and back with new camera ids: the Z 7 and the D850 alone on
  // Type0002 keep their names; the two D850s on Type0001 take theirs by camera-id order.
  const std::vector<ListedCamera> replugged = {
      {259, "D850"}, {262, "D850"}, {263, "Z 7"}, {514, "D850"}};
  EXPECT_EQ(Named(*loaded, replugged), "259=a 262=b 263=Top 514=left ");
  EXPECT_TRUE(CCameraNames::toldApartByOrder(replugged, 262));
  EXPECT_FALSE(CCameraNames::toldApartByOrder(replugged, 514));

  const auto names = loaded->namesOf(replugged);
  const struct {
    const char* device;
    std::vector<std::uint32_t> chosen;  // empty: refused
  } kChoices[] = {
      {"", {259}},  {"left,A", {514, 259}}, {"262,0x107", {262, 263}},    {"z 7", {263}},
      {"d850", {}}, {"back", {}},           {"all", {259, 262, 263, 514}}};
  for (const auto& c : kChoices) {
    const auto chosen = ChooseCameras(replugged, names, c.device);
    EXPECT_EQ(chosen ? *chosen : std::vector<std::uint32_t>{}, c.chosen) << c.device;
  }
  EXPECT_NE(ChooseCameras(replugged, names, "d850")
                .failure()
                .message.find("are \"d850\": give --device 259 and 262 and 514 (their device ids)"),
            std::string::npos);
  EXPECT_TRUE(loaded->forget(replugged, 262));
  EXPECT_FALSE(loaded->forget(replugged, 262));
}

}  // namespace
