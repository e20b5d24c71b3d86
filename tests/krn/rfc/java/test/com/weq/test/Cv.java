package com.weq.test;

import com.weq.i18n.cp.ConverterJNI;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.CharacterCodingException;
import java.nio.charset.Charset;
import java.nio.charset.CharsetDecoder;
import java.nio.charset.CharsetEncoder;
import java.nio.charset.CodingErrorAction;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * The ConverterJNI natives as the client library calls them, each call's codes checked, and the
 * reviewed differences between java.nio.charset and the built-in code pages.
 */
public final class Cv {
  private Cv() {}

  /** A native's codes that the caller did not expect. */
  public static final class Failure extends RuntimeException {
    private static final long serialVersionUID = 1L;

    Failure(String what) {
      super(what);
    }
  }

  /** A converter from one code page to another, with substitution, as the client makes it. */
  public static byte[] init(String from, String to) {
    int[] err = {-1, -1};
    byte[] c = ConverterJNI.ConvertInit(from.toCharArray(), to.toCharArray(), true, err);
    if (err[0] != 0 || c == null || c.length != 172) {
      throw new Failure("ConvertInit " + from + "->" + to + ": " + err[0]);
    }
    return c;
  }

  static void check(String what, int[] err, int rc, int consumed) {
    if (err[0] != rc || err[1] != consumed) {
      throw new Failure(what + ": err {" + err[0] + ", " + err[1] + "}, expected {" + rc + ", " + consumed + "}");
    }
  }

  /** Whole-object conversions that must take the whole input. */
  public static String xToC(byte[] conv, byte[] in) {
    int[] err = {-1, -1};
    String s = ConverterJNI.ConvertXToC(conv, in, err);
    check("ConvertXToC", err, 0, s.isEmpty() ? 0 : in.length);
    return s;
  }

  public static byte[] cToX(byte[] conv, String in) {
    int[] err = {-1, -1};
    byte[] b = ConverterJNI.ConvertCToX(conv, in, err);
    check("ConvertCToX", err, 0, b.length == 0 ? 0 : in.length());
    return b;
  }

  public static byte[] xToX(byte[] conv, byte[] in) {
    int[] err = {-1, -1};
    byte[] b = ConverterJNI.ConvertXToX(conv, in, err);
    check("ConvertXToX", err, 0, b.length == 0 ? 0 : in.length);
    return b;
  }

  public static String lastError() {
    return ConverterJNI.GetLastError();
  }

  /**
   * The reviewed differences of java.nio.charset from the built-in pages: lines "java:CP KEY
   * reason" of the engine's allow-list, KEY the code's bytes in hex or "U+XXXX", alone or as a
   * range lo..hi of keys of one length.
   */
  public static final class Allow {
    private final Map<String, List<String[]>> keys = new HashMap<>();

    public static Allow read() {
      Allow a = new Allow();
      try {
        for (String line : Files.readAllLines(
            Paths.get(System.getProperty("tov.source"), "tests/krn/rscp/rscpc_allow.txt"), StandardCharsets.UTF_8)) {
          if (!line.startsWith("java:")) continue;
          String[] f = line.substring(5).trim().split("\\s+");
          int dots = f[1].indexOf("..");
          String lo = dots < 0 ? f[1] : f[1].substring(0, dots);
          String hi = dots < 0 ? f[1] : f[1].substring(dots + 2);
          a.keys.computeIfAbsent(f[0], k -> new ArrayList<>()).add(new String[] {lo, hi});
        }
      } catch (IOException e) {
        throw new Failure("allow-list: " + e);
      }
      return a;
    }

    public boolean has(String cp, String key) {
      for (String[] r : keys.getOrDefault(cp, List.of())) {
        if (key.length() == r[0].length() && key.compareTo(r[0]) >= 0 && key.compareTo(r[1]) <= 0) return true;
      }
      return false;
    }
  }

  /** A charset's strict coders (no replacement), reused: null where they fail. */
  public static class Coder {
    final CharsetDecoder dec;
    final CharsetEncoder enc;

    public Coder(String charset) {
      Charset cs = Charset.forName(charset);
      dec = cs.newDecoder().onMalformedInput(CodingErrorAction.REPORT)
          .onUnmappableCharacter(CodingErrorAction.REPORT);
      enc = cs.newEncoder().onMalformedInput(CodingErrorAction.REPORT)
          .onUnmappableCharacter(CodingErrorAction.REPORT);
    }

    public String decode(byte[] b) {
      try {
        return dec.reset().decode(ByteBuffer.wrap(b)).toString();
      } catch (CharacterCodingException e) {
        return null;
      }
    }

    public byte[] encode(String s) {
      try {
        ByteBuffer b = enc.reset().encode(CharBuffer.wrap(s));
        return Arrays.copyOf(b.array(), b.limit());
      } catch (CharacterCodingException e) {
        return null;
      }
    }
  }

  public static String hex(byte[] b) {
    StringBuilder s = new StringBuilder();
    for (byte x : b) s.append(String.format("%02X", x & 0xFF));
    return s.toString();
  }

  public static String unit(int cp) {
    return String.format("U+%04X", cp);
  }
}
