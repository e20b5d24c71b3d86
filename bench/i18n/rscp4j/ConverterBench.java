import com.weq.i18n.cp.ConverterJNI;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.Charset;
import java.nio.charset.CharsetDecoder;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;

/**
 * The ConverterJNI natives from Java beside java.nio.charset on the same text: ConvertXToC
 * against new String(bytes, cs) and ConvertCToX against String.getBytes(cs) at 64 B, 4 KiB and
 * 1 MiB for Latin-1, UTF-8, Shift-JIS and GB 18030; ConvertXToCArr against a CharsetDecoder
 * into an existing array; CheckRequiredVersion against a Java method that does nothing. Each
 * line gives the time of one call and its ratio to the reference.
 */
public final class ConverterBench {
  static volatile Object sink;
  static volatile int isink;

  interface Run {
    void run();
  }

  /**
   * Median nanoseconds of one call, over rounds of enough calls for about 5 ms each, after 200 ms
   * of calls that let the JIT compile the caller (else what runs first is measured interpreted).
   */
  static double time(Run r) {
    for (long s = System.nanoTime(); System.nanoTime() - s < 200_000_000L;) r.run();
    long calls = 1;
    for (long t = 0; t < 5_000_000; calls *= 2) {
      long s = System.nanoTime();
      for (long i = 0; i < calls; i++) r.run();
      t = System.nanoTime() - s;
    }
    double[] t = new double[9];
    for (int k = 0; k < t.length; k++) {
      long s = System.nanoTime();
      for (long i = 0; i < calls; i++) r.run();
      t[k] = (double) (System.nanoTime() - s) / calls;
    }
    Arrays.sort(t);
    return t[t.length / 2];
  }

  static String text(String pool, int chars) {
    StringBuilder s = new StringBuilder(chars);
    for (int i = 0; s.length() < chars; i++) s.append(pool.charAt((i * 7 + i / 13) % pool.length()));
    return s.toString();
  }

  static void line(String name, double ours, double ref, String refName) {
    System.out.printf("%-40s %12.1f ns%n", name, ours);
    System.out.printf("%-40s %12.1f ns   ratio %.2f%n", name + "__" + refName, ref, ours / ref);
  }

  public static void main(String[] args) {
    System.loadLibrary("tovnative");
    String[][] pages = {
      {"1100", "ISO-8859-1", "Latin-1 text with accents: d\u00e9j\u00e0 vu, na\u00efve, se\u00f1or. "},
      {"4110", "UTF-8", "mixed \u00e9 \u20ac \u3042\u30ab\u4e2d ascii words "},
      {"8000", "windows-31j", "\u65e5\u672c\u8a9e\u306e\u30c6\u30ad\u30b9\u30c8 ABC \u30ab\u30bf\u30ab\u30ca "},
      {"8450", "GB18030", "\u4e2d\u6587\u6587\u672c\u6d4b\u8bd5 ABC \u00e9 \u20ac "},
    };
    int[] sizes = {64, 4096, 1 << 20};
    for (String[] p : pages) {
      Charset cs = Charset.forName(p[1]);
      byte[] toC = ConverterJNI.ConvertInit(p[0].toCharArray(), "4103".toCharArray(), true, new int[2]);
      byte[] toX = ConverterJNI.ConvertInit("4103".toCharArray(), p[0].toCharArray(), true, new int[2]);
      for (int size : sizes) {
        // size bytes of the page's text.
        String t = text(p[2], size);
        byte[] b = Arrays.copyOf(t.getBytes(cs), size);
        String s = new String(b, cs);
        if (s.charAt(s.length() - 1) == '\ufffd') s = s.substring(0, s.length() - 1);
        final String str = s;
        final byte[] bytes = str.getBytes(cs);
        int[] err = new int[2];
        String back = ConverterJNI.ConvertXToC(toC, bytes, err);
        String label = p[0] + "_" + (size >= 1024 ? size / 1024 + "K" : size + "B");
        if (err[0] != 0 || !back.equals(str)) {
          System.out.printf("%-40s not converted (err %d)%n", "BM_XToC_" + label, err[0]);
        } else {
          line("BM_XToC_" + label, time(() -> sink = ConverterJNI.ConvertXToC(toC, bytes, new int[2])),
              time(() -> sink = new String(bytes, cs)), "NewString");
        }
        byte[] out = ConverterJNI.ConvertCToX(toX, str, err);
        if (err[0] != 0 || !Arrays.equals(out, bytes)) {
          System.out.printf("%-40s not converted (err %d)%n", "BM_CToX_" + label, err[0]);
        } else {
          line("BM_CToX_" + label, time(() -> sink = ConverterJNI.ConvertCToX(toX, str, new int[2])),
              time(() -> sink = str.getBytes(cs)), "GetBytes");
        }
      }
    }
    // The range native into an existing array, against a decoder doing the same.
    for (String[] p : new String[][] {pages[0], pages[2]}) {
      Charset cs = Charset.forName(p[1]);
      byte[] toC = ConverterJNI.ConvertInit(p[0].toCharArray(), "4103".toCharArray(), true, new int[2]);
      byte[] bytes = text(p[2], 4096).getBytes(cs);
      char[] into = new char[bytes.length];
      CharsetDecoder dec = cs.newDecoder().onMalformedInput(CodingErrorAction.REPLACE)
          .onUnmappableCharacter(CodingErrorAction.REPLACE);
      line("BM_XToCArr_" + p[0] + "_4K",
          time(() -> isink = ConverterJNI.ConvertXToCArr(toC, bytes, 0, bytes.length, into, 0, into.length)),
          time(() -> {
            CharBuffer cb = CharBuffer.wrap(into);
            dec.reset().decode(ByteBuffer.wrap(bytes), cb, true);
            dec.flush(cb);
            isink = cb.position();
          }), "CharsetDecoder");
    }
    line("BM_CheckRequiredVersion", time(() -> isink = ConverterJNI.CheckRequiredVersion(3, 1)),
        time(() -> isink = empty(3, 1)), "EmptyJava");
  }

  static int empty(int a, int b) {
    return a;
  }
}
