package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.engine.Compress;
import java.io.ByteArrayOutputStream;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.zip.CRC32;
import java.util.zip.Inflater;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/** Compress natives from Java: streams checked against the JDK's own inflater and CRC-32. */
class CompressTest {
  static final int MB = 1 << 20;

  @BeforeAll
  static void load() {
    Lib.load();
  }

  static List<Arguments> data() {
    return List.of(
        Arguments.of("text", Streams.text(MB)),
        Arguments.of("binary", Streams.binary(MB)),
        Arguments.of("random", Streams.random(MB, 11)));
  }

  /** The LZH bit stream behind the header and its 2+n filler bits, as raw deflate data. */
  static byte[] rawDeflate(byte[] s) {
    int skip = 2 + (s[8] & 3);
    byte[] out = new byte[s.length - 8];
    for (int i = 8; i < s.length; i++) {
      int next = i + 1 < s.length ? s[i + 1] & 0xFF : 0;
      out[i - 8] = (byte) (((s[i] & 0xFF) >>> skip) | (next << (8 - skip)));
    }
    return out;
  }

  static byte[] inflate(byte[] raw, int length) throws Exception {
    Inflater inf = new Inflater(true);
    inf.setInput(raw);
    byte[] out = new byte[length];
    int n = 0;
    while (n < length && !inf.finished()) {
      int got = inf.inflate(out, n, length - n);
      if (got == 0 && (inf.needsInput() || inf.needsDictionary())) break;
      n += got;
    }
    assertTrue(inf.finished(), "the final block ends the deflate data");
    inf.end();
    return Arrays.copyOf(out, n);
  }

  static int le32(byte[] b, int at) {
    return (b[at] & 0xFF) | (b[at + 1] & 0xFF) << 8 | (b[at + 2] & 0xFF) << 16 | (b[at + 3] & 0xFF) << 24;
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("data")
  void lzhThroughInitCompressMatchesInflater(String name, byte[] data) throws Exception {
    Random g = new Random(name.hashCode());
    byte[] s = Streams.compress(data, 0, g, Streams.PLAIN, Streams.PACKED);
    assertEquals(data.length, le32(s, 0));
    assertEquals(0x12, s[4] & 0xFF);
    assertEquals(2, s[7]);
    assertArrayEquals(data, Streams.decompress(s, g, Streams.PACKED, Streams.PLAIN));
    assertArrayEquals(data, inflate(rawDeflate(s), data.length));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("data")
  void lzcFromANewStreamCall(String name, byte[] data) {
    Random g = new Random(name.hashCode() + 1);
    byte[] s = Streams.compress(data, 0 /* LZC */ | 16, g, Streams.PLAIN, Streams.PACKED);
    assertEquals(0x11, s[4] & 0xFF);
    assertArrayEquals(data, Streams.decompress(s, g, Streams.PACKED, Streams.PLAIN));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("data")
  void blockModeCarriesTheCrcsOfJavasCrc32(String name, byte[] data) throws Exception {
    Random g = new Random(name.hashCode() + 2);
    byte[] s = Streams.compress(data, 2 | 8, g, Streams.PLAIN, Streams.PACKED);
    assertEquals(0x1A, s[4] & 0xFF);
    CRC32 crc = new CRC32();
    crc.update(s, 0, 8);
    ByteArrayOutputStream payload = new ByteArrayOutputStream();
    payload.write(s, 0, 8);
    int at = 8;
    int blocks = 0;
    while (s.length - at > 8) {
      int n = le32(s, at);
      assertTrue(n > 0 && at + 8 + n <= s.length, "block length " + n);
      crc.update(s, at + 8, n);
      assertEquals((int) ~crc.getValue(), le32(s, at + 4), "block " + blocks);
      payload.write(s, at + 8, n);
      at += 8 + n;
      blocks++;
    }
    assertEquals(8, s.length - at);
    CRC32 plain = new CRC32();
    plain.update(data);
    assertEquals(data.length, le32(s, at));
    assertEquals((int) ~plain.getValue(), le32(s, at + 4));
    assertArrayEquals(data, inflate(rawDeflate(payload.toByteArray()), data.length));
    assertArrayEquals(data, Streams.decompress(s, g, Streams.PACKED, Streams.PLAIN));
  }

  @Test
  void handlesRunOutAndClosedOnesAreRefused() {
    int[] handles = new int[498];
    for (int i = 0; i < handles.length; i++) handles[i] = Compress.CsRGetHandle();
    assertEquals(302, Arrays.stream(handles).min().getAsInt());
    assertEquals(799, Arrays.stream(handles).max().getAsInt());
    assertEquals(-85, Compress.CsRGetHandle());
    for (int h : handles) Compress.CsRCloseHandle(h);
    int h = Compress.CsRGetHandle();
    Compress.CsRCloseHandle(h);
    int[] res = {9, 9, 9};
    assertEquals(0, Compress.CsRCompress(h, 10, new byte[10], 0, 10, new byte[100], 0, 100, 0, res));
    assertArrayEquals(new int[] {0, 0, -81}, res);
    assertEquals(-81, Compress.CsRInitCompress(h, new byte[8], 10));
  }

  @Test
  void endOfStreamIsOneInTheResult() {
    int h = Compress.CsRGetHandle();
    byte[] hdr = new byte[8];
    assertEquals(0, Compress.CsRInitCompress(h, hdr, 3));
    int[] res = new int[3];
    byte[] out = new byte[100];
    assertEquals(0, Compress.CsRCompress(h, 3, new byte[] {1, 2, 3}, 0, 3, out, 0, 100, 0, res));
    assertEquals(3, res[0]);
    assertEquals(1, res[2]);
    Compress.CsRCloseHandle(h);
    byte[] s = new byte[8 + res[1]];
    System.arraycopy(hdr, 0, s, 0, 8);
    System.arraycopy(out, 0, s, 8, res[1]);
    int d = Compress.CsRGetHandle();
    assertEquals(0, Compress.CsRInitDecompress(d, Arrays.copyOf(s, 8)));
    byte[] plain = new byte[Streams.PLAIN];
    byte[] in = Arrays.copyOfRange(s, 8, s.length);
    assertEquals(0, Compress.CsRDecompress(d, in, 0, in.length, plain, 100, 0, res));
    assertEquals(1, res[2]);
    assertArrayEquals(new byte[] {1, 2, 3}, Arrays.copyOf(plain, res[1]));
    Compress.CsRCloseHandle(d);
  }

  @Test
  void aLongInputArrayIsReadUpToTheBuffer() {
    byte[] data = Streams.text(10000);
    int h = Compress.CsRGetHandle();
    byte[] hdr = new byte[8];
    assertEquals(0, Compress.CsRInitCompress(h, hdr, Streams.PLAIN));
    int[] res = new int[3];
    byte[] out = new byte[Streams.PACKED];
    assertEquals(-1, Compress.CsRCompress(h, Streams.PLAIN, data, 0, Streams.PLAIN + 1, out, 0, 100, 0, res));
    assertEquals(0, Compress.CsRCompress(h, Streams.PLAIN, data, 0, Streams.PLAIN, out, 0, Streams.PACKED, 0, res));
    assertEquals(Streams.PLAIN, res[0]);
    Compress.CsRCloseHandle(h);
  }

  /** Each bound refused with -1 and both arrays as they were. */
  @Test
  void boundsAreRefusedAndTheArraysStayAsTheyWere() {
    int h = Compress.CsRGetHandle();
    assertEquals(0, Compress.CsRInitCompress(h, new byte[8], 100));
    int[][] compress = {
      // in array, in offset, in length, out array, out offset, out length
      {100, -1, 10, 100, 0, 100}, {100, 0, -1, 100, 0, 100}, {100, 50, 51, 100, 0, 100},
      {5000, 100, Streams.PLAIN - 99, 100, 0, 100}, {100, 0, 10, 100, -1, 10},
      {100, 0, 10, 100, 0, -1}, {100, 0, 10, 100, 60, 41}, {100, 0, 10, 3000, 1000, Streams.PACKED - 999},
      {100, Integer.MAX_VALUE, 10, 100, 0, 10}, {100, 10, Integer.MAX_VALUE, 100, 0, 10},
    };
    for (int[] c : compress) {
      byte[] in = Streams.binary(c[0]);
      byte[] out = Streams.random(c[3], 5);
      byte[] outBefore = out.clone();
      int[] res = {7, 7, 7};
      assertEquals(-1, Compress.CsRCompress(h, 100, in, c[1], c[2], out, c[4], c[5], 0, res), Arrays.toString(c));
      assertArrayEquals(outBefore, out);
      assertArrayEquals(new int[] {7, 7, 7}, res);
    }
    byte[] out = new byte[100];
    assertEquals(-1, Compress.CsRCompress(h, 100, new byte[10], 0, 10, out, 0, 100, 0, null));
    assertEquals(-1, Compress.CsRCompress(h, 100, new byte[10], 0, 10, out, 0, 100, 0, new int[2]));
    assertEquals(-1, Compress.CsRCompress(h, 100, null, 0, 0, out, 0, 100, 0, new int[3]));
    assertEquals(-1, Compress.CsRCompress(h, 100, new byte[10], 0, 10, null, 0, 0, 0, new int[3]));
    assertArrayEquals(new byte[100], out);
    int[][] decompress = {
      // in array, in offset, in length, out array, out length
      {100, -1, 10, 100, 100}, {100, 0, -1, 100, 100}, {100, 90, 11, 100, 100},
      {3000, 1000, Streams.PACKED - 999, 100, 100}, {100, 0, 10, 100, -1}, {100, 0, 10, 100, 101},
      {100, 0, 10, 5000, Streams.PLAIN + 1},
    };
    for (int[] c : decompress) {
      byte[] o = Streams.random(c[3], 6);
      byte[] before = o.clone();
      int[] res = {7, 7, 7};
      assertEquals(-1, Compress.CsRDecompress(h, new byte[c[0]], c[1], c[2], o, c[4], 0, res), Arrays.toString(c));
      assertArrayEquals(before, o);
      assertArrayEquals(new int[] {7, 7, 7}, res);
    }
    assertEquals(-1, Compress.CsRDecompress(h, new byte[10], 0, 10, new byte[10], 10, 0, null));
    assertEquals(-1, Compress.CsRInitDecompress(h, new byte[7]));
    assertEquals(-1, Compress.CsRInitDecompress(h, null));
    assertEquals(1, Compress.CsRInitCompress(h, new byte[7], 10));
    Compress.CsRCloseHandle(h);
  }

  @Test
  void eightThreadsEachWithTheirOwnStreams() throws Exception {
    ExecutorService pool = Executors.newFixedThreadPool(8);
    List<Future<Boolean>> results = new ArrayList<>();
    for (int t = 0; t < 8; t++) {
      final int seed = t;
      results.add(pool.submit(() -> {
        Random g = new Random(seed);
        for (int i = 0; i < 6; i++) {
          byte[] data = i % 2 == 0 ? Streams.text(40000 + seed * 1000) : Streams.random(30000, seed * 31 + i);
          int options = new int[] {0, 16, 2 | 8, 8}[i % 4];
          byte[] s = Streams.compress(data, options, g, Streams.PLAIN, Streams.PACKED);
          if (!Arrays.equals(data, Streams.decompress(s, g, Streams.PACKED, Streams.PLAIN))) return false;
        }
        return true;
      }));
    }
    pool.shutdown();
    assertTrue(pool.awaitTermination(120, TimeUnit.SECONDS), "threads finish within 120 s");
    for (Future<Boolean> f : results) assertTrue(f.get());
  }
}
