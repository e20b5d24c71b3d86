package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.i18n.cp.ConverterJNI;
import java.io.ByteArrayOutputStream;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.stream.Stream;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * java.nio.charset as a third reference: for every built-in page that Java has a charset of, the
 * conversion natives give what the charset's coder gives on the codes both map the same way back
 * and forth, whole and in range pieces joined. A difference must be on the reviewed list, and a
 * listed one must still differ.
 */
class ConverterOracleTest {
  enum Kind { SINGLE, DOUBLE, EUC, GB, UNICODE }

  /**
   * A page, its charset, how its codes are laid out, and which natives convert it: d bytes to text
   * (ConvertXToC and the ranges into char[]), e text to bytes (ConvertCToX and the ranges from
   * char[]), x bytes to bytes through UTF-8 both ways (ConvertXToX).
   */
  record Page(String cp, String charset, Kind kind, String natives) {
    @Override
    public String toString() {
      return cp + " " + charset;
    }
  }

  static final Page[] PAGES = {
    new Page("1100", "ISO-8859-1", Kind.SINGLE, "dx"),
    new Page("0100", "IBM500", Kind.SINGLE, "dx"),
    new Page("4110", "UTF-8", Kind.UNICODE, "dex"),
    new Page("4102", "UTF-16BE", Kind.UNICODE, "dex"),
    new Page("4103", "UTF-16LE", Kind.UNICODE, "dex"),
    new Page("4104", "UTF-32BE", Kind.UNICODE, "dx"),
    new Page("4105", "UTF-32LE", Kind.UNICODE, "dx"),
    new Page("8000", "windows-31j", Kind.DOUBLE, "dx"),
    new Page("8300", "x-windows-950", Kind.DOUBLE, "dx"),
    new Page("8400", "GBK", Kind.DOUBLE, "dx"),
    new Page("8500", "x-windows-949", Kind.DOUBLE, "dx"),
    new Page("8100", "EUC-JP", Kind.EUC, "d"),
    new Page("8450", "GB18030", Kind.GB, "dex"),
  };

  static Stream<Page> with(char natives) {
    return Arrays.stream(PAGES).filter(p -> p.natives().indexOf(natives) >= 0);
  }

  static Stream<Page> decoding() {
    return with('d');
  }

  static Stream<Page> encoding() {
    return with('e');
  }

  static Stream<Page> bytesToBytes() {
    return with('x');
  }

  static Cv.Allow allow;

  @BeforeAll
  static void convertBeforeInit() {
    Lib.load();
    // No INIT: the first converter starts the converter itself; with
    // RSCP_CATCH_INIT=0 (set by CTest for this run) it says nothing.
    assertEquals("A", Cv.xToC(Cv.init("1100", "4103"), new byte[] {0x41}));
    allow = Cv.Allow.read();
  }

  /** One code of a page and the text it stands for. */
  record Code(byte[] bytes, String text) {}

  /** A charset's strict coders with the codes that map back and forth. */
  static final class Coder extends Cv.Coder {
    Coder(String charset) {
      super(charset);
    }

    /** The code, when it stands for one character that encodes back to it. */
    Code roundTrip(byte[] b) {
      String s = decode(b);
      if (s == null || s.isEmpty() || s.codePointCount(0, s.length()) != 1) return null;
      return Arrays.equals(encode(s), b) ? new Code(b, s) : null;
    }

    /** The character's code, when it decodes back to the character. */
    Code roundTrip(int cp) {
      String s = new String(Character.toChars(cp));
      byte[] b = encode(s);
      return b != null && b.length > 0 && s.equals(decode(b)) ? new Code(b, s) : null;
    }
  }

  static void add(List<Code> out, Code c) {
    if (c != null) out.add(c);
  }

  /** The codes of each page, made once for all of its tests. */
  static final Map<String, List<Code>> BYTE_CODES = new HashMap<>();
  static final Map<String, List<Code>> CHAR_CODES = new HashMap<>();

  static List<Code> byteCodes(Page p, Coder c) {
    return BYTE_CODES.computeIfAbsent(p.cp(), k -> makeByteCodes(p, c));
  }

  static List<Code> charCodes(Page p, Coder c) {
    return CHAR_CODES.computeIfAbsent(p.cp(), k -> makeCharCodes(c));
  }

  /** The codes of a page that the charset maps back and forth, by their bytes. */
  static List<Code> makeByteCodes(Page p, Coder c) {
    List<Code> out = new ArrayList<>();
    if (p.kind() == Kind.UNICODE) return makeCharCodes(c);
    boolean[] lead = new boolean[256];
    for (int b = 0; b < 256; b++) {
      Code one = c.roundTrip(new byte[] {(byte) b});
      add(out, one);
      lead[b] = one == null && b >= 0x80;
    }
    for (int b = 0x80; b < 256; b++) {
      if (!lead[b]) continue;
      if (p.kind() == Kind.EUC && b == 0x8F) {
        for (int t = 0xA1; t < 0xFF; t++) {
          for (int u = 0xA1; u < 0xFF; u++) add(out, c.roundTrip(new byte[] {(byte) b, (byte) t, (byte) u}));
        }
        continue;
      }
      for (int t = 0; t < 256; t++) add(out, c.roundTrip(new byte[] {(byte) b, (byte) t}));
      // Four-byte codes: every one of the BMP, every 7th beyond it.
      if (p.kind() == Kind.GB && (b <= 0x84 || (b >= 0x90 && b <= 0xE3))) {
        for (int i = 0; i < 10 * 126 * 10; i += b <= 0x84 ? 1 : 7) {
          byte[] four = {(byte) b, (byte) (0x30 + i / 1260), (byte) (0x81 + i / 10 % 126), (byte) (0x30 + i % 10)};
          add(out, c.roundTrip(four));
        }
      }
    }
    return out;
  }

  /** The characters that a page's charset maps back and forth: every BMP character, a sample beyond. */
  static List<Code> makeCharCodes(Coder c) {
    List<Code> out = new ArrayList<>();
    for (int cp = 0; cp <= 0x10FFFF; cp += cp < 0x10000 ? 1 : 97) {
      if (cp >= 0xD800 && cp < 0xE000) continue;
      add(out, c.roundTrip(cp));
    }
    return out;
  }

  /** How the reviewed list names a code: the Unicode forms by character, other pages by bytes. */
  static String key(Page p, Code c) {
    return p.kind() == Kind.UNICODE ? Cv.unit(c.text().codePointAt(0)) : Cv.hex(c.bytes());
  }

  /** The codes that are not on the reviewed list, and (into listed) those that are. */
  static List<Code> agreed(Page p, List<Code> codes, List<Code> listed) {
    List<Code> out = new ArrayList<>();
    for (Code c : codes) (allow.has(p.cp(), key(p, c)) ? listed : out).add(c);
    return out;
  }

  static byte[] bytesOf(List<Code> codes) {
    ByteArrayOutputStream b = new ByteArrayOutputStream();
    for (Code c : codes) b.writeBytes(c.bytes());
    return b.toByteArray();
  }

  static String textOf(List<Code> codes) {
    StringBuilder s = new StringBuilder();
    for (Code c : codes) s.append(c.text());
    return s.toString();
  }

  /** The first codes whose own conversion differs, for the failure message. */
  static String firstDifferences(Page p, List<Code> codes, java.util.function.Predicate<Code> same) {
    StringBuilder s = new StringBuilder();
    int n = 0;
    for (Code c : codes) {
      if (!same.test(c) && n++ < 12) s.append(' ').append(key(p, c));
    }
    return n + " codes differ:" + s;
  }

  /** Start offsets of the codes in their concatenation, and its end. */
  static int[] starts(List<Code> codes, boolean inChars) {
    int[] at = new int[codes.size() + 1];
    for (int i = 0; i < codes.size(); i++) {
      Code c = codes.get(i);
      at[i + 1] = at[i] + (inChars ? c.text().length() : c.bytes().length);
    }
    return at;
  }

  /**
   * The input through a range native in pieces that end after whole codes, into rooms of random
   * size: the R variants resume where err says the call stopped (inside a code, for methods that
   * move 16-bit units), the others are given room enough. The outputs joined.
   */
  static byte[] inPieces(byte[] conv, List<Code> codes, boolean fromChars, Random g) {
    int[] at = starts(codes, fromChars);
    byte[] inBytes = fromChars ? null : bytesOf(codes);
    char[] inChars = fromChars ? textOf(codes).toCharArray() : null;
    ByteArrayOutputStream joined = new ByteArrayOutputStream();
    int end = at[codes.size()];
    int s = 0;
    for (int guard = 0; s < end; guard++) {
      assertTrue(guard < 10 * codes.size() + 100, "pieces make no progress at " + s);
      // The piece ends after 1 to 300 codes from the one s lies in.
      int i = Arrays.binarySearch(at, s);
      i = i >= 0 ? i : -i - 2;
      int e = at[Math.min(codes.size(), i + 1 + g.nextInt(300))];
      boolean withErr = g.nextInt(3) != 0;
      // Room enough: 4 bytes per character, 2 characters per byte.
      int enough = fromChars ? 4 * (e - s) : 2 * (e - s);
      int room = withErr ? 1 + g.nextInt(enough) : enough;
      int os = g.nextInt(4);
      int[] err = {-1, -1};
      int n;
      if (fromChars) {
        byte[] out = new byte[os + room + 3];
        n = withErr ? ConverterJNI.ConvertCToXArrR(conv, inChars, s, e, out, os, os + room, err)
            : ConverterJNI.ConvertCToXArr(conv, inChars, s, e, out, os, os + room);
        joined.write(out, os, n);
      } else {
        char[] out = new char[os + room + 3];
        n = withErr ? ConverterJNI.ConvertXToCArrR(conv, inBytes, s, e, out, os, os + room, err)
            : ConverterJNI.ConvertXToCArr(conv, inBytes, s, e, out, os, os + room);
        // Unit by unit: a piece may end between the two halves of a pair.
        for (int k = os; k < os + n; k++) {
          joined.write(out[k]);
          joined.write(out[k] >> 8);
        }
      }
      if (!withErr) {
        s = e;
        continue;
      }
      assertTrue(err[0] == 0 || err[0] == 32, "err " + err[0] + " at " + s);
      assertTrue(err[1] >= 0 && err[1] <= e - s, "consumed " + err[1] + " of " + (e - s));
      if (err[0] == 0) assertEquals(e - s, err[1]);
      s += err[1];
    }
    return joined.toByteArray();
  }

  @ParameterizedTest
  @MethodSource("decoding")
  void bytesToTextAsTheCharsetDecodes(Page p) {
    Coder c = new Coder(p.charset());
    List<Code> listed = new ArrayList<>();
    List<Code> codes = agreed(p, byteCodes(p, c), listed);
    assertTrue(codes.size() > 90, "codes " + codes.size());
    byte[] conv = Cv.init(p.cp(), "4103");
    String want = textOf(codes);
    String got = Cv.xToC(conv, bytesOf(codes));
    if (!want.equals(got)) {
      throw new AssertionError(p + ": " + firstDifferences(p, codes,
          x -> x.text().equals(ConverterJNI.ConvertXToC(conv, x.bytes(), new int[2]))));
    }
    byte[] pieces = inPieces(conv, codes, false, new Random(p.cp().hashCode()));
    assertEquals(want, new String(pieces, StandardCharsets.UTF_16LE), p + " in pieces");
    for (Code x : listed) {
      String ours = ConverterJNI.ConvertXToC(conv, x.bytes(), new int[2]);
      assertTrue(!x.text().equals(ours), p + ": listed " + key(p, x) + " no longer differs");
    }
  }

  @ParameterizedTest
  @MethodSource("encoding")
  void textToBytesAsTheCharsetEncodes(Page p) {
    Coder c = new Coder(p.charset());
    List<Code> listed = new ArrayList<>();
    List<Code> codes = agreed(p, charCodes(p, c), listed);
    byte[] conv = Cv.init("4103", p.cp());
    byte[] want = bytesOf(codes);
    byte[] got = Cv.cToX(conv, textOf(codes));
    if (!Arrays.equals(want, got)) {
      throw new AssertionError(p + ": " + firstDifferences(p, codes,
          x -> Arrays.equals(x.bytes(), ConverterJNI.ConvertCToX(conv, x.text(), new int[2]))));
    }
    assertArrayEquals(want, inPieces(conv, codes, true, new Random(~p.cp().hashCode())), p + " in pieces");
    for (Code x : listed) {
      byte[] ours = ConverterJNI.ConvertCToX(conv, x.text(), new int[2]);
      assertTrue(!Arrays.equals(x.bytes(), ours), p + ": listed " + key(p, x) + " no longer differs");
    }
  }

  @ParameterizedTest
  @MethodSource("bytesToBytes")
  void bytesToBytesThroughUtf8BothWays(Page p) {
    Coder c = new Coder(p.charset());
    List<Code> listed = new ArrayList<>();
    List<Code> codes = agreed(p, byteCodes(p, c), listed);
    byte[] toUtf8 = Cv.init(p.cp(), "4110");
    byte[] want = textOf(codes).getBytes(StandardCharsets.UTF_8);
    byte[] got = Cv.xToX(toUtf8, bytesOf(codes));
    if (!Arrays.equals(want, got)) {
      throw new AssertionError(p + " to UTF-8: " + firstDifferences(p, codes,
          x -> Arrays.equals(x.text().getBytes(StandardCharsets.UTF_8),
              ConverterJNI.ConvertXToX(toUtf8, x.bytes(), new int[2]))));
    }
    List<Code> chars = agreed(p, charCodes(p, c), new ArrayList<>());
    byte[] fromUtf8 = Cv.init("4110", p.cp());
    want = bytesOf(chars);
    got = Cv.xToX(fromUtf8, textOf(chars).getBytes(StandardCharsets.UTF_8));
    if (!Arrays.equals(want, got)) {
      throw new AssertionError(p + " from UTF-8: " + firstDifferences(p, chars,
          x -> Arrays.equals(x.bytes(),
              ConverterJNI.ConvertXToX(fromUtf8, x.text().getBytes(StandardCharsets.UTF_8), new int[2]))));
    }
  }

  /**
   * ISO-2022-JP output has its own choice of designations, so its bytes are compared by what
   * the charset reads back: the whole text, in range pieces (the shift state carried in the
   * converter from piece to piece), from Latin-1 with a designation before every character (an
   * output of more than 3 bytes per input byte) and from Shift-JIS.
   */
  @Test
  void iso2022JpOutputReadsBackAsTheText() {
    Page p = new Page("8200", "ISO-2022-JP", Kind.UNICODE, "");
    Coder c = new Coder(p.charset());
    List<Code> listed = new ArrayList<>();
    List<Code> chars = agreed(p, charCodes(p, c), listed);
    assertTrue(chars.size() > 6000, "characters " + chars.size());
    String text = textOf(chars);
    byte[] conv = Cv.init("4103", p.cp());
    byte[] whole = Cv.cToX(conv, text);
    if (!text.equals(c.decode(whole))) {
      throw new AssertionError(firstDifferences(p, chars,
          x -> x.text().equals(c.decode(ConverterJNI.ConvertCToX(Cv.init("4103", p.cp()), x.text(), new int[2])))));
    }
    assertEquals(text, c.decode(inPieces(conv, chars, true, new Random(2022))), "in pieces");
    for (Code x : listed) {
      String back = c.decode(ConverterJNI.ConvertCToX(Cv.init("4103", p.cp()), x.text(), new int[2]));
      assertTrue(!x.text().equals(back), "listed " + key(p, x) + " no longer differs");
    }
    // From Latin-1, where the multiplication sign is a JIS X 0208 character;
    // the first attempt into 3 bytes per byte stops after one, in JIS X 0208.
    String shifts = "\u00d7A".repeat(2002);
    byte[] latin = shifts.getBytes(StandardCharsets.ISO_8859_1);
    byte[] out = Cv.xToX(Cv.init("1100", p.cp()), latin);
    assertTrue(out.length > 3 * latin.length, "output " + out.length + " of " + latin.length);
    assertEquals(shifts, c.decode(out));
    String sjis = "A\u3042\u30ab".repeat(3000);
    assertEquals(sjis, c.decode(Cv.xToX(Cv.init("8000", p.cp()), sjis.getBytes(Charset.forName("windows-31j")))));
  }
}
