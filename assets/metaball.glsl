#vertexshader
// the quad position, on z = 0
varying vec3 point;
void main()
{
    point = vec3(gl_Vertex.x, gl_Vertex.y, 0.0);
    gl_Position = ftransform();
}
#fragmentshader
// balls: centre in x, y; strength in z
varying vec3 point;
const int numballs = 6;
uniform vec3 balls[numballs];
float distancepow2(vec3 ball, vec3 p)
{
    float dx = ball.x - p.x;
    float dy = ball.y - p.y;
    return dx * dx + dy * dy;
}
void main()
{
    float value = 0.0;
    for (int i = 0; i < numballs; i++)
        value += (1.0 / distancepow2(balls[i], point)) * balls[i].z;
    // weak field: veil; near a ball: a hole.
    if (value < 0.3)
        gl_FragColor = vec4(0.25, 0.125, 0.5, 0.75);
    else
        discard;
}
