package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.engine.Compress;
import java.util.Arrays;
import java.util.Random;
import java.util.Set;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Seeded runs of mutated streams, random offsets, lengths, options and handles: only codes come
 * back, every code is one the natives or the compression calls define, and a refused call leaves
 * the arrays as they were.
 */
class CompressFuzzTest {
  static final Set<Integer> CODES = Set.of(0, 1, 2, 3, -1, -2, -3, -10, -11, -13, -14, -15, -20,
      -21, -22, -50, -51, -52, -53, -54, -55, -56, -71, -81, -82, -85);

  @BeforeAll
  static void load() {
    Lib.load();
  }

  static int pick(Random g, int limit) {
    switch (g.nextInt(6)) {
      case 0: return -1 - g.nextInt(5);
      case 1: return limit + g.nextInt(5);
      case 2: return g.nextInt(3);
      default: return g.nextInt(limit + 1);
    }
  }

  @ParameterizedTest
  @ValueSource(longs = {1, 2, 3, 4})
  void mutatedStreamsAndRandomArguments(long seed) {
    Random g = new Random(seed);
    byte[] good = Streams.compress(Streams.text(20000), seed % 2 == 0 ? 0 : 2 | 8, g, 4128, 2080);
    for (int round = 0; round < 300; round++) {
      byte[] s = good.clone();
      for (int m = g.nextInt(6); m > 0; m--) s[8 + g.nextInt(s.length - 8)] ^= (byte) (1 << g.nextInt(8));
      if (g.nextInt(4) == 0) s[4 + g.nextInt(4)] ^= (byte) g.nextInt(256);
      int h = g.nextInt(10) == 0 ? 250 + g.nextInt(600) : Compress.CsRGetHandle();
      int rc = Compress.CsRInitDecompress(h, Arrays.copyOf(s, 8));
      assertTrue(CODES.contains(rc), "init " + rc);
      int[] res = new int[3];
      byte[] out = new byte[4128];
      int pos = 8;
      for (int step = 0; step < 200 && pos <= s.length; step++) {
        int inLen = pick(g, Math.min(2080, s.length - pos));
        int outLen = pick(g, 4128);
        int off = g.nextInt(8) == 0 ? pick(g, 2080) : 0;
        byte[] in = Arrays.copyOfRange(s, pos, Math.min(s.length, pos + 2080));
        byte[] before = out.clone();
        int opt = g.nextInt(20) == 0 ? 1 : 0;
        rc = Compress.CsRDecompress(h, in, off, inLen, out, outLen, opt, res);
        assertTrue(rc == 0 || rc == -1, "native " + rc);
        if (rc == -1) {
          assertArrayEquals(before, out);
          continue;
        }
        assertTrue(CODES.contains(res[2]), "code " + res[2]);
        assertTrue(res[0] >= 0 && res[0] <= Math.max(inLen, 0) && res[1] >= 0 && res[1] <= Math.max(outLen, 0),
            "counts " + res[0] + "/" + res[1]);
        if (res[2] == 1 || res[2] < 0) break;
        pos += res[0];
      }
      Compress.CsRCloseHandle(h);
    }
  }

  @ParameterizedTest
  @ValueSource(longs = {5, 6})
  void randomCompressionArguments(long seed) {
    Random g = new Random(seed);
    for (int round = 0; round < 300; round++) {
      int h = Compress.CsRGetHandle();
      int total = g.nextInt(3) == 0 ? -g.nextInt(5) : g.nextInt(20000);
      int options = g.nextInt(256);
      int[] res = new int[3];
      byte[] out = new byte[2080];
      int rc = Compress.CsRCompress(h, total, new byte[1], 0, 0, out, 0, pick(g, 2080), options | 1, res);
      assertTrue(rc == 0 || rc == -1);
      byte[] in = Streams.random(4128, seed * 1000 + round);
      for (int step = 0; step < 20; step++) {
        rc = Compress.CsRCompress(h, total, in, pick(g, 4128), pick(g, 4128), out, pick(g, 2080), pick(g, 2080),
            g.nextInt(30) == 0 ? g.nextInt(256) : 0, res);
        assertTrue(rc == 0 || rc == -1, "native " + rc);
        if (rc == 0) assertTrue(CODES.contains(res[2]), "code " + res[2]);
      }
      Compress.CsRCloseHandle(h);
    }
  }
}
