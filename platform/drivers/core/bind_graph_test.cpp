#include "platform/drivers/core/bind_graph.h"

#include <gtest/gtest.h>

#include "platform/drivers/core/kernel.h"

namespace varnelle::drivers {
namespace {

TEST(BindGraphTest, ADestinationTakesOneSourceAndASourceFeedsMany) {
    BindGraph& g = BindGraph::Instance();
    g.Clear();
    MPP_CHN_S vi{MK_ID_VIU, 0, 3}, vi2{MK_ID_VIU, 0, 4};
    MPP_CHN_S venc{MK_ID_VENC, 0, 3}, vpss{MK_ID_VPSS, 5, 0};
    EXPECT_EQ(g.Bind(vi, venc), 0);
    EXPECT_EQ(g.Bind(vi, vpss), 0);
    EXPECT_EQ(static_cast<uint32_t>(g.Bind(vi2, venc)), 0xA0028009u);
    EXPECT_TRUE(SameChn(*g.SourceOf(venc), vi));
    EXPECT_EQ(g.DestinationsOf(vi).size(), 2u);
    EXPECT_TRUE(g.IsBound(MK_ID_VENC, 0, 3));
    EXPECT_EQ(g.Unbind(venc), 0);
    EXPECT_NE(g.Unbind(venc), 0);
    EXPECT_FALSE(g.IsBound(MK_ID_VENC, 0, 3));
    EXPECT_EQ(g.Bind(vi2, venc), 0);
    ResetMediaState();
    EXPECT_EQ(g.Size(), 0u);
}

}  // namespace
}  // namespace varnelle::drivers
