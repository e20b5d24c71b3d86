import com.weq.conn.rfc.driver.LG;
import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;

/**
 * LG.nativeGet_MS answered from the group cache, beside the C++ figure of the same lookup
 * (BM_LgCacheHit of lg_bench, given as the second argument in ns). The group is read once from
 * ms_peer (first argument) and then found in the cache until its logon count of 32767 is used
 * up; the median of rounds of 10000 lookups leaves the rereads out.
 */
public final class LgBench {
  public static void main(String[] args) throws Exception {
    System.loadLibrary("tovnative");
    Path scen = Files.createTempFile("lgbench", ".scenario");
    Files.write(scen, ("group C 4 10.0.0.8 3208 740 3 0 32767 32767\n"
        + "appserver A 127.0.0.1 3301 100 0 3 1\n").getBytes(StandardCharsets.US_ASCII));
    Process peer = new ProcessBuilder(args[0], "serve", "--scenario", scen.toString(), "--log", "/dev/null",
        "--lifetime", "300").redirectError(ProcessBuilder.Redirect.DISCARD).start();
    try {
      String line = new BufferedReader(new InputStreamReader(peer.getInputStream(), StandardCharsets.US_ASCII))
          .readLine();
      String serv = line.substring(5).trim();
      byte[] addr = new byte[100];
      int[] port = new int[1];
      if (LG.nativeGet_MS("C", "127.0.0.1", serv, addr, port) != 0) throw new IllegalStateException("lookup");
      final int calls = 10000;
      long[] t = new long[25];
      for (int r = -5; r < t.length; r++) {
        long s = System.nanoTime();
        for (int i = 0; i < calls; i++) LG.nativeGet_MS("C", "127.0.0.1", serv, addr, port);
        if (r >= 0) t[r] = System.nanoTime() - s;
      }
      java.util.Arrays.sort(t);
      double ns = (double) t[t.length / 2] / calls;
      double cxx = Double.parseDouble(args[1]);
      System.out.printf("%-34s %10.1f ns%n", "BM_JniLgCacheHit", ns);
      System.out.printf("%-34s %10.1f ns   ratio %.2f%n", "BM_JniLgCacheHit__CxxCacheHit", cxx, ns / cxx);
    } finally {
      peer.destroyForcibly();
      Files.delete(scen);
    }
  }
}
