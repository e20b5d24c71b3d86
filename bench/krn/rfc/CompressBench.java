import com.weq.conn.rfc.engine.Compress;
import java.util.zip.Deflater;
import java.util.zip.Inflater;

/**
 * The Compress natives from Java beside the JDK's zlib on the same data and pieces: 1 MB of text
 * compressed (LZH level 2 against Deflater level 2, raw) and decompressed (against Inflater,
 * raw), in pieces of 4128 bytes into rooms of 2080 and back; and the cost of a native call that
 * does nothing (CsRCloseHandle(0)) beside a Java method that does nothing.
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
    java.util.Arrays.sort(t);
    return t[rounds / 2];
  }

  public static void main(String[] args) throws Exception {
    System.loadLibrary("tovnative");
    byte[] data = text(1 << 20);
    byte[] ours = nativeCompress(data, new java.io.ByteArrayOutputStream());
    byte[] raw = zlibCompress(data);
    double c = time(() -> nativeCompress(data, null), 15);
    double cz = time(() -> zlibCompress(data), 15);
    double d = time(() -> sink = nativeDecompress(ours), 15);
    double dz = time(() -> sink = zlibDecompress(raw), 15);
    final int calls = 1_000_000;
    double n = time(() -> {
      for (int i = 0; i < calls; i++) Compress.CsRCloseHandle(0);
    }, 9) / calls;
    double j = time(() -> {
      for (int i = 0; i < calls; i++) emptyJava(i);
    }, 9) / calls;
    System.out.printf("%-34s %10.2f ms  %7.1f MB/s  %d bytes%n", "BM_JniCompress1MB", c / 1e6, 1e3 * (1 << 20) / c, ours.length);
    System.out.printf("%-34s %10.2f ms  %7.1f MB/s  %d bytes   ratio %.2f%n", "BM_JniCompress1MB__Deflater2", cz / 1e6, 1e3 * (1 << 20) / cz, raw.length, c / cz);
    System.out.printf("%-34s %10.2f ms  %7.1f MB/s%n", "BM_JniDecompress1MB", d / 1e6, 1e3 * (1 << 20) / d);
    System.out.printf("%-34s %10.2f ms  %7.1f MB/s   ratio %.2f%n", "BM_JniDecompress1MB__Inflater", dz / 1e6, 1e3 * (1 << 20) / dz, d / dz);
    System.out.printf("%-34s %10.2f ns%n", "BM_JniCloseHandle0", n);
    System.out.printf("%-34s %10.2f ns%n", "BM_JniCloseHandle0__EmptyJava", j);
  }
}
