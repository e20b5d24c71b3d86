package com.weq.test;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * The gateway of the tests (gw_peer, named in TOV_GW_PEER) for one test, started from the JVM on
 * 127.0.0.1: its port as a service, control lines, and its log lines ("DIR KIND key=value ...")
 * read as they come.
 */
final class GwPeer implements AutoCloseable {
  static final String PROGRAM = System.getenv("TOV_GW_PEER");

  /** One log line: direction, kind and unescaped fields. */
  static final class Line {
    final String dir;
    final String kind;
    final Map<String, String> f = new HashMap<>();

    Line(String raw) {
      String[] t = raw.split(" ");
      dir = t[0];
      kind = t.length > 1 ? t[1] : "";
      for (int i = 2; i < t.length; i++) {
        int eq = t[i].indexOf('=');
        if (eq > 0) f.put(t[i].substring(0, eq), unescape(t[i].substring(eq + 1)));
      }
    }

    String get(String key) {
      return f.getOrDefault(key, "");
    }
  }

  final Process process;
  final String serv;
  private final OutputStream control;
  private final List<Line> lines = new ArrayList<>();
  private final List<Boolean> taken = new ArrayList<>();

  GwPeer(String... args) throws IOException {
    List<String> cmd = new ArrayList<>(List.of(PROGRAM, "gateway", "--lifetime", "300", "--parent",
        Long.toString(ProcessHandle.current().pid())));
    cmd.addAll(List.of(args));
    process = new ProcessBuilder(cmd).redirectError(ProcessBuilder.Redirect.DISCARD).start();
    control = process.getOutputStream();
    BufferedReader out = new BufferedReader(
        new InputStreamReader(process.getInputStream(), StandardCharsets.ISO_8859_1));
    String first = out.readLine();
    if (first == null || !first.startsWith("PORT ")) throw new IOException("gw_peer gave " + first);
    serv = first.substring(5).trim();
    Thread reader = new Thread(() -> {
      try {
        for (String l; (l = out.readLine()) != null;) {
          synchronized (lines) {
            lines.add(new Line(l));
            taken.add(false);
            lines.notifyAll();
          }
        }
      } catch (IOException e) {
        // The peer ended.
      }
    });
    reader.setDaemon(true);
    reader.start();
  }

  static String unescape(String v) {
    ByteArrayOutputStream b = new ByteArrayOutputStream();
    for (int i = 0; i < v.length(); i++) {
      char c = v.charAt(i);
      if (c == '%' && i + 2 < v.length()) {
        b.write(Integer.parseInt(v.substring(i + 1, i + 3), 16));
        i += 2;
      } else {
        b.write(c);
      }
    }
    return new String(b.toByteArray(), StandardCharsets.UTF_8);
  }

  void control(String line) throws IOException {
    control.write((line + "\n").getBytes(StandardCharsets.UTF_8));
    control.flush();
  }

  /**
   * The first line not handed out yet of this direction and kind (and, when key is given, whose
   * key has value), within ms; null when none came.
   */
  Line await(String dir, String kind, String key, String value, long ms) throws InterruptedException {
    long end = System.nanoTime() + ms * 1_000_000L;
    synchronized (lines) {
      for (;;) {
        for (int i = 0; i < lines.size(); i++) {
          Line l = lines.get(i);
          if (taken.get(i) || !l.dir.equals(dir) || !l.kind.equals(kind)) continue;
          if (key != null && !l.get(key).equals(value)) continue;
          taken.set(i, true);
          return l;
        }
        long left = (end - System.nanoTime()) / 1_000_000L;
        if (left <= 0) return null;
        lines.wait(left);
      }
    }
  }

  /** The next request of this code, within 3 s. */
  Line request(int req) throws InterruptedException {
    return await("IN", "APPC", "req", Integer.toString(req), 3000);
  }

  /** Requests of this code so far (after a stats round trip). */
  int count(int req) throws IOException, InterruptedException {
    control("stats");
    await("EVENT", "STATS", null, null, 3000);
    int n = 0;
    synchronized (lines) {
      for (Line l : lines) {
        if (l.dir.equals("IN") && l.kind.equals("APPC") && l.get("req").equals(Integer.toString(req))) n++;
      }
    }
    return n;
  }

  /** Requests the peer found wrong. */
  long bad() throws IOException, InterruptedException {
    control("stats");
    Line l = await("EVENT", "STATS", null, null, 3000);
    return l == null ? -1 : Long.parseLong(l.get("bad"));
  }

  @Override
  public void close() {
    process.destroyForcibly();
    try {
      process.waitFor();
    } catch (InterruptedException e) {
      Thread.currentThread().interrupt();
    }
  }
}
