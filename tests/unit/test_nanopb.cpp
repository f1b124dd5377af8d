#include <gtest/gtest.h>

#include "roundtrip.pb.h"

#include <pb_decode.h>
#include <pb_encode.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

/* The generated code and nanopb's runtime encode a message that they decode
 * back unchanged, and that protoc, the reference reader, decodes too. */
TEST(Nanopb, EncodedMessageDecodesBackAndWithProtoc)
{
    Roundtrip in = Roundtrip_init_zero;
    in.id = 300;
    std::strcpy(in.name, "brindlecot");
    in.values_count = 3;
    in.values[0] = 1;
    in.values[1] = -2;
    in.values[2] = 70000;

    uint8_t buffer[128];
    pb_ostream_t out = pb_ostream_from_buffer(buffer, sizeof buffer);
    ASSERT_TRUE(pb_encode(&out, Roundtrip_fields, &in)) << PB_GET_ERROR(&out);

    Roundtrip back = Roundtrip_init_zero;
    pb_istream_t is = pb_istream_from_buffer(buffer, out.bytes_written);
    ASSERT_TRUE(pb_decode(&is, Roundtrip_fields, &back)) << PB_GET_ERROR(&is);
    EXPECT_EQ(back.id, 300u);
    EXPECT_STREQ(back.name, "brindlecot");
    ASSERT_EQ(back.values_count, 3u);
    EXPECT_EQ(back.values[1], -2);
    EXPECT_EQ(back.values[2], 70000);

    std::string bin = testing::TempDir() + "roundtrip.bin";
    FILE *f = std::fopen(bin.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(buffer, 1, out.bytes_written, f);
    std::fclose(f);
    std::string cmd = "protoc --proto_path=" BRINDLECOT_PROTO_DIR
                      " --decode=Roundtrip roundtrip.proto < " + bin + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string text;
    char line[256];
    while (std::fgets(line, sizeof line, p))
        text += line;
    EXPECT_EQ(pclose(p), 0) << text;
    std::remove(bin.c_str());
    EXPECT_EQ(text, "id: 300\nname: \"brindlecot\"\nvalues: 1\nvalues: -2\nvalues: 70000\n");
}
