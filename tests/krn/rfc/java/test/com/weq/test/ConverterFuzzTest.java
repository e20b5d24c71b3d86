package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.i18n.cp.ConverterJNI;
import java.util.Random;
import java.util.Set;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Seeded runs of random and mutated converter images, inputs, ranges and table arrays through
 * all 18 natives: only codes come back, each one the converter defines, with counts inside the
 * input and results inside their room.
 */
class ConverterFuzzTest {
  static final Set<Integer> CODES = Set.of(0, 1, 8, 16, 32, 64, 128, 256, 512, 2048, 4096, 8192, 16384);
  static final String[][] PAIRS = {{"1100", "4103"}, {"4103", "1100"}, {"8000", "4103"}, {"4103", "8000"},
    {"4110", "4103"}, {"4103", "4110"}, {"4102", "4103"}, {"1100", "4104"}, {"8400", "4110"}, {"8100", "4103"},
    {"0100", "4102"}, {"4103", "4103"}, {"1101", "4103"}, {"8450", "4103"}, {"8200", "4103"}};

  @BeforeAll
  static void load() {
    Lib.load();
  }

  /** A converter image: a real one, mutated, or random; now and then of another length. */
  static byte[] image(Random g) {
    String[] p = PAIRS[g.nextInt(PAIRS.length)];
    byte[] c = Cv.init(p[0], p[1]);
    switch (g.nextInt(5)) {
      case 0: break;
      case 1: g.nextBytes(c); break;
      case 2: return g.nextInt(4) == 0 ? null : new byte[g.nextInt(400)];
      default:
        for (int m = 1 + g.nextInt(6); m > 0; m--) c[g.nextInt(c.length)] ^= (byte) (1 << g.nextInt(8));
        // The cache version now and then stale, so that the chooser runs on the mutated fields.
        if (g.nextInt(3) == 0) c[0] = 0;
    }
    return c;
  }

  static byte[] input(Random g) {
    byte[] b = new byte[g.nextInt(8) == 0 ? 10240 + g.nextInt(3000) : g.nextInt(300)];
    g.nextBytes(b);
    return b;
  }

  static void code(int[] err, int inputLength) {
    assertTrue(CODES.contains(err[0]), "code " + err[0]);
    assertTrue(err[1] >= 0 && err[1] <= Math.max(0, inputLength), "count " + err[1] + " of " + inputLength);
  }

  @ParameterizedTest
  @ValueSource(longs = {1, 2, 3})
  void randomImagesInputsAndRanges(long seed) {
    Random g = new Random(seed);
    for (int round = 0; round < 250; round++) {
      byte[] c = image(g);
      byte[] in = g.nextInt(20) == 0 ? null : input(g);
      int n = in == null ? 0 : in.length;
      int[] err = {-1, -1};
      switch (g.nextInt(12)) {
        case 0: {
          String s = in == null ? null : new String(in, java.nio.charset.StandardCharsets.ISO_8859_1);
          byte[] out = ConverterJNI.ConvertCToX(c, s, err);
          assertTrue(out != null);
          code(err, s == null ? 0 : s.length());
          break;
        }
        case 1:
          assertTrue(ConverterJNI.ConvertXToC(c, in, err) != null);
          code(err, n);
          break;
        case 2:
          assertTrue(ConverterJNI.ConvertXToX(c, in, err) != null);
          code(err, n);
          break;
        case 3:
        case 4: {
          int room = CompressFuzzTest.pick(g, 600);
          char[] out = room < 0 ? null : new char[room];
          int s = CompressFuzzTest.pick(g, n);
          int e = CompressFuzzTest.pick(g, n);
          int os = CompressFuzzTest.pick(g, Math.max(room, 0));
          int oe = CompressFuzzTest.pick(g, Math.max(room, 0));
          int r = g.nextBoolean() ? ConverterJNI.ConvertXToCArrR(c, in, s, e, out, os, oe, err)
              : ConverterJNI.ConvertXToCArr(c, in, s, e, out, os, oe);
          assertTrue(r == 1 || (r >= 0 && r <= oe - os), "written " + r);
          if (err[0] != -1) code(err, e - s);
          break;
        }
        case 5:
        case 6: {
          char[] text = in == null ? null : new String(in, java.nio.charset.StandardCharsets.ISO_8859_1).toCharArray();
          int room = CompressFuzzTest.pick(g, 600);
          byte[] out = room < 0 ? null : new byte[room];
          int s = CompressFuzzTest.pick(g, n);
          int e = CompressFuzzTest.pick(g, n);
          int os = CompressFuzzTest.pick(g, Math.max(room, 0));
          int oe = CompressFuzzTest.pick(g, Math.max(room, 0));
          int r = g.nextBoolean() ? ConverterJNI.ConvertCToXArrR(c, text, s, e, out, os, oe, err)
              : ConverterJNI.ConvertCToXArr(c, text, s, e, out, os, oe);
          assertTrue(r == 1 || (r >= 0 && r <= oe - os), "written " + r);
          if (err[0] != -1) code(err, e - s);
          break;
        }
        case 7:
          assertTrue(CODES.contains(ConverterJNI.GetSb2UcTab(c, g.nextInt(4) == 0 ? new char[CompressFuzzTest.pick(g, 256) & 511] : new char[256])));
          break;
        case 8: {
          int[] t = ConverterJNI.GetDb2UcTab(c, new byte[g.nextInt(5) == 0 ? 255 : 256], new char[256],
              g.nextInt(5) == 0 ? null : new char[256], err);
          assertTrue(t == null || t.length % 256 == 0);
          code(err, 0);
          break;
        }
        case 9:
          ConverterJNI.GetUc2SbTab(c, err);
          code(err, 0);
          break;
        case 10: {
          char[] t = ConverterJNI.GetUc2DbTab(c, new char[g.nextInt(5) == 0 ? 100 : 65536], err);
          assertTrue(t == null || t.length % 1024 == 0);
          code(err, 0);
          break;
        }
        default: {
          int type = ConverterJNI.GetShortcutType(c);
          assertTrue(type >= 0 && type <= 6, "type " + type);
          if (c != null && g.nextBoolean()) ConverterJNI.ConvertFinish(c);
          assertTrue(ConverterJNI.GetLastError().length() <= 1024);
          int major = CompressFuzzTest.pick(g, 5);
          int minor = CompressFuzzTest.pick(g, 3);
          boolean older = major < 3 || (major == 3 && minor <= 1);
          assertTrue(ConverterJNI.CheckRequiredVersion(major, minor) == (older ? 1 : 0), major + "." + minor);
          assertTrue("3.1.0".equals(ConverterJNI.GetVersion()) && ConverterJNI.GetSystemCodePage().length == 4);
          int[] e = new int[g.nextInt(4)];
          char[] from = new char[g.nextInt(6)];
          for (int i = 0; i < from.length; i++) from[i] = (char) ('0' + g.nextInt(10));
          byte[] made = ConverterJNI.ConvertInit(from, "4103".toCharArray(), g.nextBoolean(), e);
          assertTrue(made != null && made.length == 172);
          if (e.length > 0) assertTrue(CODES.contains(e[0]), "init " + e[0]);
        }
      }
    }
  }
}
