package com.weq.test;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.weq.conn.rfc.driver.CpicDriver;
import com.weq.i18n.cp.ConverterJNI;
import java.nio.ByteBuffer;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/**
 * The ConverterJNI natives' own cases: version, converter set-up, the error text, the edge cases
 * of the conversions, the write-back of the converter, and the exported tables against tables
 * built per byte or unit with java.nio.charset. Runs on the probe copy of the library.
 */
class ConverterTest {
  static Cv.Allow allow;

  @BeforeAll
  static void convertBeforeInit() {
    Lib.load();
    // No INIT yet: the converter starts impromptu and says so on standard
    // error (CTest looks for the line); INIT afterwards finds it started.
    assertEquals("abc", Cv.xToC(Cv.init("1100", "4103"), "abc".getBytes(StandardCharsets.ISO_8859_1)));
    assertEquals(0, new CpicDriver().INIT());
    allow = Cv.Allow.read();
  }

  @Test
  void versionAndSystemCodePage() {
    int[][] versions = {{3, 1, 1}, {2, 9, 1}, {3, 0, 1}, {3, 2, 0}, {4, 0, 0}};
    for (int[] v : versions) {
      assertEquals(v[2], ConverterJNI.CheckRequiredVersion(v[0], v[1]), v[0] + "." + v[1]);
    }
    assertEquals("3.1.0", ConverterJNI.GetVersion());
    assertArrayEquals("4103".toCharArray(), ConverterJNI.GetSystemCodePage());
  }

  @Test
  void convertInitEdgeCases() {
    int[] err = {-1, -1};
    assertArrayEquals(new byte[172], ConverterJNI.ConvertInit(new char[3], "4103".toCharArray(), true, err));
    assertArrayEquals(new int[] {16, 0}, err);
    assertArrayEquals(Cv.init("4103", "1100"), Cv.init("0000", "1100"));
    // Shortcut types of the pairs whose tables Java may use.
    String[][] types = {{"1100", "4103", "1"}, {"8000", "4103", "2"}, {"4103", "1100", "3"}, {"4103", "8500", "4"},
      {"4103", "4102", "5"}, {"4102", "4102", "6"}};
    for (String[] t : types) {
      assertEquals(Integer.parseInt(t[2]), ConverterJNI.GetShortcutType(Cv.init(t[0], t[1])), t[0] + "->" + t[1]);
    }
  }

  @Test
  void lastErrorIsCutAt1024Units() {
    // A refused call reports with the bindings' own class.
    ConverterJNI.GetSb2UcTab(Cv.init("1100", "4103"), new char[255]);
    String one = Cv.lastError();
    assertTrue(one.contains("Incorrect array size") && one.contains("buf acSb2UcTab&256&!=&255"), one);
    assertTrue(one.contains("module: rscp4jct"), one);
    // Four operating-system errors and the report print more than 1024 units.
    Probe.pushOsErrors(4);
    assertEquals(0, ConverterJNI.GetSb2UcTab(Cv.init("1100", "4103"), new char[255]));
    String all = Cv.lastError();
    assertEquals(1024, all.length());
    assertNotEquals('\n', all.charAt(1023));
    assertTrue(all.startsWith(".-----"), all);
  }

  @Test
  void conversionEdgeCases() {
    int[] err = {-1, -1};
    assertArrayEquals(new byte[0], ConverterJNI.ConvertCToX(Cv.init("4103", "4110"), "", err));
    assertArrayEquals(new int[] {0, 0}, err);
    byte[] latin = new byte[400];
    for (int i = 0; i < latin.length; i++) latin[i] = (byte) (0x20 + i % 200);
    byte[] toText = Cv.init("1100", "4103");
    assertEquals(new String(latin, StandardCharsets.ISO_8859_1), Cv.xToC(toText, latin));
    // 4 bytes out for every byte in: the output is doubled until it fits.
    byte[] big = Arrays.copyOf(latin, 5000);
    assertArrayEquals(new String(big, StandardCharsets.ISO_8859_1).getBytes(Charset.forName("UTF-32BE")),
        Cv.xToX(Cv.init("1100", "4104"), big));
    // 30 bytes into 10 characters of room.
    char[] out = new char[12];
    assertEquals(10, ConverterJNI.ConvertXToCArr(toText, latin, 0, 30, out, 1, 11));
    assertEquals(new String(latin, 0, 10, StandardCharsets.ISO_8859_1), new String(out, 1, 10));
    assertEquals(10, ConverterJNI.ConvertXToCArrR(toText, latin, 0, 30, out, 1, 11, err));
    assertArrayEquals(new int[] {32, 10}, err);
  }

  @Test
  void theConverterGoesBackWhenItsStateChanged() {
    // Broken UTF-8 raises the substitution count, which is not part of the
    // state: the range and text natives leave Java's copy as it was.
    byte[] c = Cv.init("4110", "4103");
    byte[] before = c.clone();
    assertEquals("a#", ConverterJNI.ConvertXToC(c, new byte[] {'a', (byte) 0xFF}, new int[2]));
    assertEquals(2, ConverterJNI.ConvertXToCArr(c, new byte[] {'a', (byte) 0xFF}, 0, 2, new char[4], 0, 4));
    assertArrayEquals(before, c);
    // ConvertXToX always writes it back.
    byte[] x = Cv.init("4110", "4102");
    assertArrayEquals(new byte[] {0, 'a', 0, '#'}, ConverterJNI.ConvertXToX(x, new byte[] {'a', (byte) 0xFF}, new int[2]));
    assertEquals(1, ByteBuffer.wrap(x, 28, 4).order(java.nio.ByteOrder.LITTLE_ENDIAN).getInt());
    // A stale cache_version makes the table method choose again: written back.
    byte[] t = Cv.init("1100", "4103");
    byte[] fresh = t.clone();
    Arrays.fill(t, 0, 4, (byte) 0);
    assertEquals(1, ConverterJNI.ConvertXToCArrR(t, new byte[] {'a'}, 0, 1, new char[1], 0, 1, new int[2]));
    assertArrayEquals(fresh, t);
  }

  static final char SUBST = '#';

  /**
   * What Java makes of one code or one unit: the other side's value (SUBST when it has none), and
   * whether that maps back.
   */
  record Mapping(long value, boolean back) {}

  /** A charset's strict coders, one character at a time. */
  static final class Strict extends Cv.Coder {
    Strict(String charset) {
      super(charset);
    }

    /** The one character that the bytes stand for. */
    Mapping decodeOne(byte... b) {
      String s = decode(b);
      if (s == null || s.length() != 1) return new Mapping(SUBST, false);
      return new Mapping(s.charAt(0), Arrays.equals(encode(s), b));
    }

    /** The code of a unit, as one number (b1 << 8 | b2 for two bytes). */
    Mapping encodeOne(char c) {
      byte[] b = encode(String.valueOf(c));
      if (b == null || b.length == 0 || b.length > 2) return new Mapping(SUBST, false);
      long v = b.length == 1 ? b[0] & 0xFF : (b[0] & 0xFF) << 8 | (b[1] & 0xFF);
      return new Mapping(v, String.valueOf(c).equals(decode(b)));
    }
  }

  /**
   * An entry against Java's mapping. One that maps back must be ours, one that has none must have
   * none of ours, and one that Java reads or writes one way only may be ours or missing. Codes on
   * the reviewed list are left out, except that those Java maps back must still differ.
   */
  static void expectEntry(String cp, String key, long ours, Mapping java, String what) {
    String at = cp + " " + what + " " + key;
    if (allow.has(cp, key)) {
      if (java.back()) assertNotEquals(java.value(), ours, at + ": listed, but no longer differs");
    } else if (java.back() || java.value() == SUBST) {
      assertEquals(java.value(), ours, at);
    } else {
      assertTrue(ours == java.value() || ours == SUBST, at + ": " + ours + " where Java reads " + java.value());
    }
  }

  /** The reviewed list names a unit by the code Java (else ours) gives it. */
  static String unitKey(char u, Mapping java, long ours) {
    long code = java.value() != SUBST ? java.value() : ours;
    if (code == SUBST && u != SUBST) return Cv.unit(u);
    return code > 0xFF ? String.format("%04X", code) : String.format("%02X", code);
  }

  @ParameterizedTest
  @CsvSource({"1100, ISO-8859-1", "0100, IBM500", "1101, US-ASCII"})
  void singleByteTablesEqualTheCharset(String cp, String charset) {
    Strict s = new Strict(charset);
    char[] sb = new char[256];
    assertEquals(0, ConverterJNI.GetSb2UcTab(Cv.init(cp, "4103"), sb));
    for (int b = 0; b < 256; b++) expectEntry(cp, String.format("%02X", b), sb[b], s.decodeOne((byte) b), "Sb2Uc");
    int[] err = {-1, -1};
    byte[] uc = ConverterJNI.GetUc2SbTab(Cv.init("4103", cp), err);
    assertArrayEquals(new int[] {0, 0}, err);
    // Units past the table's end have no code.
    for (int u = 0; u < 0x10000; u++) {
      long ours = u < uc.length ? uc[u] & 0xFF : SUBST;
      Mapping java = s.encodeOne((char) u);
      expectEntry(cp, unitKey((char) u, java, ours), ours, java, "Uc2Sb");
    }
    assertTrue(uc.length > 0 && uc[uc.length - 1] != SUBST, cp + " Uc2Sb ends with its highest code");
  }

  @ParameterizedTest
  @CsvSource({"8000, windows-31j", "8300, x-windows-950", "8400, GBK", "8500, x-windows-949"})
  void doubleByteTablesEqualTheCharset(String cp, String charset) {
    Strict s = new Strict(charset);
    byte[] leadLength = new byte[256];
    char[] lead = new char[256];
    char[] fallback = new char[256];
    int[] err = {-1, -1};
    int[] blocks = ConverterJNI.GetDb2UcTab(Cv.init(cp, "4103"), leadLength, lead, fallback, err);
    assertArrayEquals(new int[] {0, 0}, err);
    int leads = 0;
    for (int b = 0; b < 256; b++) {
      if (leadLength[b] == 1) {
        expectEntry(cp, String.format("%02X", b), lead[b], s.decodeOne((byte) b), "Db2Uc single");
        continue;
      }
      assertEquals(2, leadLength[b], cp + " lead length of " + b);
      assertEquals(leads++ * 256, lead[b], cp + " block of lead " + b);
      for (int t = 0; t < 256; t++) {
        expectEntry(cp, String.format("%02X%02X", b, t), blocks[lead[b] + t], s.decodeOne((byte) b, (byte) t), "Db2Uc");
      }
    }
    assertEquals(leads * 256, blocks.length, cp + " Db2Uc blocks");
    // Into UTF-16BE each entry holds the same two bytes the other way round.
    int[] big = ConverterJNI.GetDb2UcTab(Cv.init(cp, "4102"), new byte[256], new char[256], new char[256], err);
    assertArrayEquals(new int[] {0, 0}, err);
    assertEquals(blocks.length, big.length);
    for (int i = 0; i < blocks.length; i++) {
      assertEquals(Character.reverseBytes((char) blocks[i]), big[i], cp + " Db2Uc big-endian " + i);
    }

    char[] index = new char[0x10000];
    char[] high = ConverterJNI.GetUc2DbTab(Cv.init("4103", cp), index, err);
    assertArrayEquals(new int[] {0, 0}, err);
    assertEquals(0, high.length % 1024);
    for (int u = 0; u < 0x10000; u++) {
      if (Character.isHighSurrogate((char) u)) {
        // No supplementary character has a code on these pages.
        int block = index[u] * 1024;
        assertTrue(block + 1024 <= high.length, cp + " block of " + Cv.unit(u));
        for (int i = 0; i < 1024; i++) assertEquals(SUBST, high[block + i], cp + " " + Cv.unit(u) + " " + i);
        continue;
      }
      Mapping java = s.encodeOne((char) u);
      expectEntry(cp, unitKey((char) u, java, index[u]), index[u], java, "Uc2Db");
    }
  }
}
