package com.weq.test;

import com.weq.conn.rfc.engine.Compress;
import java.io.ByteArrayOutputStream;
import java.util.Arrays;
import java.util.Random;

/** Whole streams through the Compress natives, in pieces as the client library sends them. */
public final class Streams {
  public static final int PLAIN = 4128;
  public static final int PACKED = 2080;
  static final int MIN_ROOM = 16;

  private Streams() {}

  /** Failure of a native or of the compression call, with what was asked. */
  public static final class Failure extends RuntimeException {
    private static final long serialVersionUID = 1L;

    Failure(String what) {
      super(what);
    }
  }

  /**
   * Compresses data. options 0: the header by CsRInitCompress (LZH level 2); otherwise by a
   * new-stream call of CsRCompress with these options. Pieces of at most maxIn bytes go into
   * rooms of at most maxOut.
   */
  public static byte[] compress(byte[] data, int options, Random g, int maxIn, int maxOut) {
    int h = Compress.CsRGetHandle();
    if (h < 302) throw new Failure("CsRGetHandle " + h);
    try {
      ByteArrayOutputStream s = new ByteArrayOutputStream();
      int[] res = new int[3];
      byte[] hdr = new byte[8];
      if (options == 0) {
        int rc = Compress.CsRInitCompress(h, hdr, data.length);
        if (rc != 0) throw new Failure("CsRInitCompress " + rc);
        s.write(hdr, 0, 8);
      } else {
        int rc = Compress.CsRCompress(h, data.length, new byte[1], 0, 0, hdr, 0, 8, options | 1, res);
        if (rc != 0 || res[2] < 0) throw new Failure("new stream " + rc + "/" + res[2]);
        s.write(hdr, 0, res[1]);
      }
      int pos = 0;
      byte[] in = new byte[PLAIN];
      byte[] out = new byte[PACKED];
      for (int guard = 0; guard < 10_000_000; guard++) {
        int inLen = Math.min(1 + g.nextInt(maxIn), data.length - pos);
        // LZC owes up to a whole code group: rooms of at least MIN_ROOM.
        int outLen = MIN_ROOM + g.nextInt(maxOut - MIN_ROOM + 1);
        System.arraycopy(data, pos, in, 0, inLen);
        int rc = Compress.CsRCompress(h, data.length, in, 0, inLen, out, 0, outLen, 0, res);
        if (rc != 0) throw new Failure("CsRCompress native " + rc);
        if (res[2] < 0) throw new Failure("CsRCompress " + res[2]);
        s.write(out, 0, res[1]);
        pos += res[0];
        if (res[2] == 1) {
          if (pos != data.length) throw new Failure("ended after " + pos);
          return s.toByteArray();
        }
      }
      throw new Failure("no end");
    } finally {
      Compress.CsRCloseHandle(h);
    }
  }

  public static byte[] decompress(byte[] stream, Random g, int maxIn, int maxOut) {
    int h = Compress.CsRGetHandle();
    if (h < 302) throw new Failure("CsRGetHandle " + h);
    try {
      int rc = Compress.CsRInitDecompress(h, Arrays.copyOf(stream, 8));
      if (rc != 0) throw new Failure("CsRInitDecompress " + rc);
      ByteArrayOutputStream d = new ByteArrayOutputStream();
      int[] res = new int[3];
      byte[] in = new byte[PACKED];
      byte[] out = new byte[PLAIN];
      int pos = 8;
      for (int guard = 0; guard < 10_000_000; guard++) {
        // No input after "more input" only once everything was given.
        int inLen = Math.min(1 + g.nextInt(maxIn), stream.length - pos);
        int outLen = 1 + g.nextInt(maxOut);
        System.arraycopy(stream, pos, in, 0, inLen);
        rc = Compress.CsRDecompress(h, in, 0, inLen, out, outLen, 0, res);
        if (rc != 0) throw new Failure("CsRDecompress native " + rc);
        if (res[2] < 0) throw new Failure("CsRDecompress " + res[2]);
        d.write(out, 0, res[1]);
        pos += res[0];
        if (res[2] == 1) return d.toByteArray();
      }
      throw new Failure("no end");
    } finally {
      Compress.CsRCloseHandle(h);
    }
  }

  public static byte[] text(int n) {
    String words = "the gateway sends the conversation data in pieces; remote function call ";
    byte[] b = new byte[n];
    for (int i = 0; i < n; i++) b[i] = (byte) words.charAt((i * 7 + i / 97) % words.length());
    return b;
  }

  public static byte[] binary(int n) {
    byte[] b = new byte[n];
    for (int i = 0; i < n; i++) b[i] = (byte) ((i % 251) ^ ((i >> 9) & 0x0F));
    return b;
  }

  public static byte[] random(int n, long seed) {
    byte[] b = new byte[n];
    new Random(seed).nextBytes(b);
    return b;
  }
}
