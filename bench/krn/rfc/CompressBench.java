import com.weq.conn.rfc.engine.Compress;
import java.util.zip.Deflater;
import java.util.zip.Inflater;

/**
 * The Compress natives from Java beside the JDK's zlib on the same data: 16 MiB of text and 16 MiB
 * of mixed data (text with a quarter of an executable) compressed (LZH level 2 against Deflater
 * level 2, raw) and decompressed (against Inflater, raw). The natives take pieces of at most their
 * buffers' sizes (4128 bytes in, 2080 out); the references run once on the whole arrays and once
 * in the same pieces, each round running all of them in turn. Aim: ours at most 1.0x each
 * reference, as the median of the rounds' ratios. Also the cost of a native call that does nothing
 * (CsRCloseHandle(0)) beside a Java method that does nothing.
 */
public final class CompressBench {
  static final int PLAIN = 4128;
  static final int PACKED = 2080;
  static volatile int sink;

  static byte[] text(int n) {
    String words = "the gateway sends the conversation data in pieces; remote function call ";
    byte[] b = new byte[n];
    for (int i = 0; i < n; i++) b[i] = (byte) words.charAt((i * 7 + i / 97 + i / 1031) % words.length());
    return b;
  }

  static byte[] nativeCompress(byte[] data, java.io.ByteArrayOutputStream keep) {
    int h = Compress.CsRGetHandle();
    byte[] hdr = new byte[8];
    Compress.CsRInitCompress(h, hdr, data.length);
    if (keep != null) keep.write(hdr, 0, 8);
    byte[] in = new byte[PLAIN];
    byte[] out = new byte[PACKED];
    int[] res = new int[3];
    int pos = 0;
    do {
      int n = Math.min(PLAIN, data.length - pos);
      System.arraycopy(data, pos, in, 0, n);
      Compress.CsRCompress(h, data.length, in, 0, n, out, 0, PACKED, 0, res);
      if (keep != null) keep.write(out, 0, res[1]);
      pos += res[0];
    } while (res[2] != 1);
    Compress.CsRCloseHandle(h);
    return keep != null ? keep.toByteArray() : null;
  }

  static int nativeDecompress(byte[] s) {
    int h = Compress.CsRGetHandle();
    Compress.CsRInitDecompress(h, java.util.Arrays.copyOf(s, 8));
    byte[] in = new byte[PACKED];
    byte[] out = new byte[PLAIN];
    int[] res = new int[3];
    int pos = 8;
    int total = 0;
    do {
      int n = Math.min(PACKED, s.length - pos);
      System.arraycopy(s, pos, in, 0, n);
      Compress.CsRDecompress(h, in, 0, n, out, PLAIN, 0, res);
      pos += res[0];
      total += res[1];
    } while (res[2] != 1);
    Compress.CsRCloseHandle(h);
    return total;
  }

  static byte[] zlibCompress(byte[] data) {
    Deflater d = new Deflater(2, true);
    java.io.ByteArrayOutputStream keep = new java.io.ByteArrayOutputStream();
    byte[] out = new byte[PACKED];
    for (int pos = 0; pos < data.length; pos += PLAIN) {
      boolean last = pos + PLAIN >= data.length;
      d.setInput(data, pos, Math.min(PLAIN, data.length - pos));
      if (last) d.finish();
      while (true) {
        int n = d.deflate(out);
        keep.write(out, 0, n);
        if (last ? d.finished() : d.needsInput()) break;
      }
    }
    d.end();
    return keep.toByteArray();
  }

  static int zlibCompressWhole(byte[] data, byte[] out) {
    Deflater d = new Deflater(2, true);
    d.setInput(data);
    d.finish();
    int n = 0;
    while (!d.finished()) n += d.deflate(out, n, out.length - n);
    d.end();
    return n;
  }

  static int zlibDecompress(byte[] raw) throws Exception {
    Inflater inf = new Inflater(true);
    byte[] out = new byte[PLAIN];
    int total = 0;
    for (int pos = 0; pos < raw.length && !inf.finished(); pos += PACKED) {
      inf.setInput(raw, pos, Math.min(PACKED, raw.length - pos));
      int n;
      while ((n = inf.inflate(out)) > 0) total += n;
    }
    inf.end();
    return total;
  }

  static int zlibDecompressWhole(byte[] raw, byte[] out) throws Exception {
    Inflater inf = new Inflater(true);
    inf.setInput(raw);
    int n = 0;
    while (!inf.finished() && n < out.length) n += inf.inflate(out, n, out.length - n);
    inf.end();
    return n;
  }

  /** Text with a quarter of an executable (or, without it, of scrambled bytes) in its middle. */
  static byte[] mixed(int n) throws Exception {
    byte[] b = text(n);
    byte[] bin;
    try {
      bin = java.nio.file.Files.readAllBytes(java.nio.file.Path.of("/usr/bin/cmake"));
    } catch (java.io.IOException e) {
      bin = new byte[n / 4];
      long x = 1;
      for (int i = 0; i < bin.length; i++) {
        x = x * 6364136223846793005L + 1442695040888963407L;
        bin[i] = (byte) ((x >>> 56) & (i % 3 == 0 ? 0xFF : 0x0F));
      }
    }
    System.arraycopy(bin, 0, b, n / 2, Math.min(n / 4, bin.length));
    return b;
  }

  static void ratio(double r, double ref, String refName) {
    System.out.printf("  %-40s %10.2f ms   ratio %.2f  aim <= 1.00 %s%n", "reference: " + refName, ref / 1e6, r,
        r <= 1.0 ? "met" : "NOT MET");
  }

  static void corpus(String label, byte[] data) throws Exception {
    byte[] ours = nativeCompress(data, new java.io.ByteArrayOutputStream());
    byte[] raw = zlibCompress(data);
    byte[] whole = new byte[data.length + data.length / 8 + 1024];
    int wholeLen = zlibCompressWhole(data, whole);
    byte[] rawWhole = java.util.Arrays.copyOf(whole, wholeLen);
    byte[] back = new byte[data.length];
    if (nativeDecompress(ours) != data.length) throw new IllegalStateException("native round trip");
    // Each round runs all six once, so that a burst of load on a shared
    // machine weighs on ours and the references alike.
    Run[] runs = {
      () -> nativeCompress(data, null), () -> zlibCompress(data), () -> zlibCompressWhole(data, whole),
      () -> sink = nativeDecompress(ours), () -> sink = zlibDecompress(raw),
      () -> sink = zlibDecompressWhole(rawWhole, back)
    };
    long[][] t = timeRounds(runs, 7);
    System.out.printf("%-42s %10.2f ms  %7.1f MB/s  %d bytes (Deflater %d)%n", "BM_JniCompress16MB/" + label,
        median(t[0]) / 1e6, 1e3 * data.length / median(t[0]), ours.length, raw.length);
    ratio(t[0], t[1], "Deflater(2, true) in pieces");
    ratio(t[0], t[2], "Deflater(2, true) whole array");
    System.out.printf("%-42s %10.2f ms  %7.1f MB/s%n", "BM_JniDecompress16MB/" + label, median(t[3]) / 1e6,
        1e3 * data.length / median(t[3]));
    ratio(t[3], t[4], "Inflater(true) in pieces");
    ratio(t[3], t[5], "Inflater(true) whole array");
  }

  /** Nanoseconds of each run in each round, after one round to warm up. */
  static long[][] timeRounds(Run[] runs, int rounds) throws Exception {
    for (Run r : runs) r.run();
    long[][] t = new long[runs.length][rounds];
    for (int i = 0; i < rounds; i++) {
      for (int k = 0; k < runs.length; k++) {
        long s = System.nanoTime();
        runs[k].run();
        t[k][i] = System.nanoTime() - s;
      }
    }
    return t;
  }

  static double median(long[] v) {
    long[] c = v.clone();
    java.util.Arrays.sort(c);
    return c[c.length / 2];
  }

  /** The reference's median time, and the median of the rounds' ratios of ours to it. */
  static void ratio(long[] ours, long[] ref, String refName) {
    double[] r = new double[ours.length];
    for (int i = 0; i < r.length; i++) r[i] = (double) ours[i] / ref[i];
    java.util.Arrays.sort(r);
    ratio(r[r.length / 2], median(ref), refName);
  }

  static void emptyJava(int x) {}

  interface Run {
    void run() throws Exception;
  }

  /** Median nanoseconds of one run over rounds, after warming up. */
  static double time(Run r, int rounds) throws Exception {
    for (int i = 0; i < rounds; i++) r.run();
    long[] t = new long[rounds];
    for (int i = 0; i < rounds; i++) {
      long s = System.nanoTime();
      r.run();
      t[i] = System.nanoTime() - s;
    }
    return median(t);
  }

  public static void main(String[] args) throws Exception {
    System.loadLibrary("tovnative");
    corpus("text", text(16 << 20));
    corpus("mixed", mixed(16 << 20));
    final int calls = 1_000_000;
    double n = time(() -> {
      for (int i = 0; i < calls; i++) Compress.CsRCloseHandle(0);
    }, 9) / calls;
    double j = time(() -> {
      for (int i = 0; i < calls; i++) emptyJava(i);
    }, 9) / calls;
    System.out.printf("%-42s %10.2f ns%n", "BM_JniCloseHandle0", n);
    System.out.printf("%-42s %10.2f ns%n", "BM_JniCloseHandle0__EmptyJava", j);
  }
}
